#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

// The one icon set shared by the viewer's toolbars, the study list and the reconstruction windows.
// Every function builds a new QIcon on each call; nothing is cached.

// ":/icons/<name>.png" centred on an 88 x 88 transparent canvas; a missing image gives an invisible
// 22 x 22 icon and no message.
QIcon loadToolbarIcon(const QString& name);

QIcon angleIcon();
QIcon arrowIcon();
QIcon burnDiskIcon();
QIcon calculatorIcon();
QIcon cineIcon();
QIcon compareStudiesIcon();
QIcon crosslinesIcon();
QIcon curvedMprIcon();
QIcon databaseIcon();
QIcon dicomIcon();
QIcon dicomTagsIcon();
QIcon drawIcon();
QIcon ellipseAreaIcon();
QIcon eraserIcon();
QIcon exportIcon();
QIcon freehandRoiIcon();
QIcon fusionIcon();
QIcon importIcon();
QIcon invertIcon();
QIcon layoutIcon();
QIcon measureIcon();
QIcon mprIcon();
QIcon openFolderIcon();
QIcon panIcon();
QIcon polygonIcon();
QIcon printIcon();
QIcon roiIcon();
QIcon rotateIcon();
QIcon saveIcon();
QIcon scrollSeriesDragIcon();
QIcon selectAllToggleIcon();
QIcon smoothContourIcon();
QIcon syncScrollIcon();
QIcon textIcon();
QIcon wheelSeriesIcon();
QIcon windowLevelIcon();
QIcon zoomIcon();

// A 22 x 22 pixmap filled with Qt::transparent, the canvas of the painted icons.
QPixmap transparentIconPixmap();
// A time-intensity chart (axes, dashed guides, curve and sample dots) in one colour.
QPixmap paintCurveChartPixmap(const QColor& colour, double guideOpacity);

// Icons painted in code for actions that have no image file.
QIcon extraFunctionsIcon();
QIcon dceCurveIcon();
QIcon remotePacsIcon();
QIcon axesGrabIcon();
