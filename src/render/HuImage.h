#pragma once

#include "dicom/RowObject.h"

#include <QList>
#include <QPointF>
#include <QString>

#include <vector>

namespace render {

// One frame of a DICOM file in its modality units (Hounsfield for CT: the Modality LUT or the rescale
// applied, as the picture is drawn), row-major, index y * width + x.
struct HuImage
{
    bool valid = false;
    int width = 0;
    int height = 0;
    std::vector<double> pixels;
    QString error;
    bool otherObject = false; // refused: the file holds another object, or not the frame, of the row read
};

// Statistics of a region of interest; all fields are 0 when no pixel was counted.
struct RoiStats
{
    double mean = 0.0;
    double stdDev = 0.0; // population standard deviation
    double min = 0.0;
    double max = 0.0;
    int count = 0;
};

// Reads one frame of a file into `out`. Thread-safe. The last successfully parsed file is kept, so
// reading the frames of one multi-frame file one after another parses and decompresses it once; the
// cached file is reused only while its path, size and modification time are unchanged. Read for an
// index row (`row` not empty), the frame is taken only from a file proven to hold the row's object
// (dicom::RowObject), the cached one included; another object, or a file of the object without the
// row's frame, is refused with `otherObject` set.
bool loadHuFrame(HuImage& out, const QString& path, int frameIndex, QString* error,
                 const dicom::RowObject& row = {});

// How many times a file was parsed by loadHuFrame since start (tests check the cache with it).
long long huFrameParseCount();
// Drops the cached file (tests and callers that know a file was rewritten in place).
void clearHuFrameCache();
// Measurement aid: when on, every read holds one process-wide lock from start to end, as a loader
// that parses all files under its cache lock would. Off by default.
void setHuFrameReadsSerialised(bool on);

double huValueAt(const HuImage& image, int x, int y);
RoiStats ellipseRoiStats(const HuImage& image, double cx, double cy, double rx, double ry);
RoiStats polygonRoiStats(const HuImage& image, const QList<QPointF>& polygon);
bool pointInPolygon(double px, double py, const QList<QPointF>& polygon);

} // namespace render
