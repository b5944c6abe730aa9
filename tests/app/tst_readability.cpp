// Every window of the program on an indexed study, at 1366 × 768 and 1920 × 1080, in both themes: each
// visible text (labels, buttons, tabs, combo and spin box texts, list and tree items, status messages,
// painted captions) fits the rectangle it is drawn in, nothing runs off the screen or needs sideways
// scrolling, no two text widgets overlap, and every character has a glyph in some installed font.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"
#include "support/StudyTableRow.h"

#include "analysis3d/DceAnalysisWindow.h"
#include "analysis3d/EndoscopyWindow.h"
#include "analysis3d/Vrt3DWindow.h"
#include "app/MainWindow.h"
#include "app/PacsDownloadDialog.h"
#include "app/RemoteAccessDialog.h"
#include "app/RemoteBrowserDialog.h"
#include "app/Startup.h"
#include "app/Theme.h"
#include "clinical/CardiacMriWindow.h"
#include "clinical/CategoryHub.h"
#include "clinical/CoronaryCalciumWindow.h"
#include "clinical/LungNoduleWindow.h"
#include "db/Database.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/BugReportDialog.h"
#include "dialogs/BurnDiscDialog.h"
#include "dialogs/HelpDialog.h"
#include "dialogs/HotkeySettingsDialog.h"
#include "dialogs/PacsSettingsDialog.h"
#include "dialogs/PrintPreviewDialog.h"
#include "dialogs/SettingsDialog.h"
#include "dialogs/ToolbarCustomizeDialog.h"
#include "dicom/CodecRegistration.h"
#include "mpr/CurvedMprWindow.h"
#include "mpr/MprWindow.h"
#include "pacs/PacsOpenCoordinator.h"
#include "render/CineStack.h"
#include "viewer/CommentInputDialog.h"
#include "viewer/GridLayoutPicker.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRawFont>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyleOption>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QThreadPool>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QtTest>

#include <functional>
#include <map>
#include <memory>

namespace {

// The protected option and size helpers Qt's own painting uses, reached through member pointers.
struct ViewAccess : QAbstractItemView
{
    using QAbstractItemView::initViewItemOption;
};
struct TabAccess : QTabBar
{
    using QTabBar::tabSizeHint;
};
struct ComboAccess : QComboBox
{
    using QComboBox::initStyleOption;
};
struct ToolAccess : QToolButton
{
    using QToolButton::initStyleOption;
};

// The part of the screen a window can take: a title bar above it and a task bar below.
struct Screen
{
    const char* name;
    QRect work;
};
const Screen kScreens[] = {{"1366x768", QRect(0, 30, 1366, 698)}, {"1920x1080", QRect(1366, 30, 1920, 1010)}};

QString shortText(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.size() > 60 ? text.left(59) + QStringLiteral("…") : text;
}

// True when the character has a glyph in at least one installed font (answers are kept).
bool hasGlyph(char32_t ucs4)
{
    static QHash<char32_t, bool> known;
    const auto it = known.constFind(ucs4);
    if (it != known.constEnd())
        return *it;
    bool found = false;
    for (const QString& family : QFontDatabase::families()) {
        if (QRawFont::fromFont(QFont(family)).supportsCharacter(ucs4)) {
            found = true;
            break;
        }
    }
    known.insert(ucs4, found);
    return found;
}

// What one window shows, measured against where it shows it.
class Audit
{
public:
    Audit(QWidget* window, const QRect& work) : m_window(window), m_work(work)
    {
        // The window's own rectangle, cut to the screen it is on.
        m_clip = QRect(QPoint(0, 0), window->size()) & work.translated(-window->geometry().topLeft());
    }

    QStringList cuts;
    QStringList overlaps;

    void run()
    {
        QList<QWidget*> widgets = m_window->findChildren<QWidget*>();
        widgets.prepend(m_window);
        for (QWidget* w : std::as_const(widgets)) {
            if (w != m_window && (w->window() != m_window || !w->isVisibleTo(m_window)))
                continue;
            if (auto* picker = qobject_cast<GridLayoutPicker*>(w))
                fits(w, picker->captionText(),
                     picker->fontMetrics().horizontalAdvance(picker->captionText()) + 4, picker->width(),
                     "caption");
            else if (auto* label = qobject_cast<QLabel*>(w))
                checkLabel(label);
            else if (auto* button = qobject_cast<QAbstractButton*>(w))
                checkButton(button);
            else if (auto* combo = qobject_cast<QComboBox*>(w))
                checkCombo(combo);
            else if (auto* spin = qobject_cast<QAbstractSpinBox*>(w))
                checkSpin(spin);
            else if (auto* tabs = qobject_cast<QTabBar*>(w))
                checkTabs(tabs);
            else if (auto* status = qobject_cast<QStatusBar*>(w))
                checkStatus(status);
            if (auto* view = qobject_cast<QAbstractItemView*>(w); view && !qobject_cast<QHeaderView*>(w))
                checkItems(view);
            if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
                glyphs(edit, edit->toPlainText());
            else if (auto* rich = qobject_cast<QTextEdit*>(w))
                glyphs(rich, rich->toPlainText());
            if (auto* area = qobject_cast<QScrollArea*>(w);
                area && area->widget() && area->horizontalScrollBar()->maximum() > 0)
                cuts << QStringLiteral("content of %1 needs %2 px more sideways")
                            .arg(describe(area))
                            .arg(area->horizontalScrollBar()->maximum());
        }
        checkTitle();
        // A window that cannot shrink to the screen leaves part of itself under the task bar or beyond.
        if (m_window->width() > m_work.width() || m_window->height() > m_work.height())
            cuts << QStringLiteral("window needs %1×%2 px, the screen has %3×%4")
                        .arg(m_window->width())
                        .arg(m_window->height())
                        .arg(m_work.width())
                        .arg(m_work.height());
        for (QToolBar* bar : m_window->findChildren<QToolBar*>())
            if (bar->window() == m_window && bar->isVisibleTo(m_window))
                checkOverflow(bar);
        findOverlaps();
    }

private:
    QWidget* m_window;
    QRect m_work;
    QRect m_clip;
    struct Box
    {
        QWidget* widget;
        QRect rect;
        QString text;
    };
    QList<Box> m_boxes;

    QString describe(QWidget* w) const
    {
        return QStringLiteral("%1%2").arg(QString::fromLatin1(w->metaObject()->className()),
                                          w->objectName().isEmpty() ? QString()
                                                                    : QLatin1Char('#') + w->objectName());
    }

    // The rectangle in window coordinates that the ancestors and the screen leave of r (w's
    // coordinates); scrolled is set when an ancestor is a scroll area's viewport.
    QRect visiblePart(QWidget* w, const QRect& r, bool* scrolled = nullptr) const
    {
        QRect out(w->mapTo(m_window, r.topLeft()), r.size());
        for (QWidget* p = w->parentWidget(); p && p != m_window; p = p->parentWidget()) {
            if (auto* area = qobject_cast<QAbstractScrollArea*>(p->parentWidget());
                scrolled && area && area->viewport() == p)
                *scrolled = true;
            out &= QRect(p->mapTo(m_window, QPoint(0, 0)), p->size());
        }
        return out & m_clip;
    }

    void glyphs(QWidget* w, const QString& text)
    {
        for (char32_t c : text.toUcs4())
            if (c >= 0x2000 && c != 0xfe0f && c != 0x200d && !hasGlyph(c))
                cuts << QStringLiteral("%1 «%2»: no font has U+%3")
                            .arg(describe(w), shortText(text), QString::number(uint(c), 16).toUpper());
    }

    // One text of w drawn in `have` pixels that needs `need`; a pixel of rounding is allowed.
    void fits(QWidget* w, const QString& text, int need, int have, const char* what)
    {
        glyphs(w, text);
        if (need > have + 1)
            cuts << QStringLiteral("%1 %2 «%3»: needs %4 px, has %5")
                        .arg(describe(w), QLatin1String(what), shortText(text))
                        .arg(need)
                        .arg(have);
    }

    // The text of w drawn in box (w's coordinates) must lie on screen and inside its ancestors.
    void shown(QWidget* w, const QRect& box, const QString& text, bool overlapCandidate = true)
    {
        bool scrolled = false;
        const QRect visible = visiblePart(w, box, &scrolled);
        const QRect whole(w->mapTo(m_window, box.topLeft()), box.size());
        if (!scrolled && visible != whole && !box.isEmpty())
            cuts << QStringLiteral("%1 «%2»: only %3×%4 of %5×%6 px on screen")
                        .arg(describe(w), shortText(text))
                        .arg(visible.width())
                        .arg(visible.height())
                        .arg(box.width())
                        .arg(box.height());
        if (overlapCandidate && !visible.isEmpty())
            m_boxes.append({w, visible, text});
    }

    void checkLabel(QLabel* label)
    {
        const QString text = label->text();
        if (text.isEmpty() || !label->pixmap().isNull() || label->movie())
            return;
        const QRect contents = label->contentsRect();
        QSize textSize;
        if (label->wordWrap()) {
            QTextDocument doc;
            doc.setDefaultFont(label->font());
            doc.setDocumentMargin(0);
            const bool rich = label->textFormat() == Qt::RichText ||
                              (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(text));
            rich ? doc.setHtml(text) : doc.setPlainText(text);
            doc.setTextWidth(0);
            const int longestWord = int(std::ceil(doc.idealWidth())) + 2 * label->margin();
            fits(label, text, longestWord, contents.width(), "label word");
            const int height = label->heightForWidth(label->width());
            fits(label, text, height, label->height(), "label height");
            textSize = QSize(contents.width(), std::min(height, label->height()));
        } else {
            const QSize need = label->sizeHint();
            fits(label, text, need.width(), label->width(), "label");
            if (need.height() > label->height() + 2)
                fits(label, text, need.height(), label->height(), "label height");
            textSize = need.boundedTo(label->size());
        }
        shown(label,
              QStyle::alignedRect(label->layoutDirection(), label->alignment(), textSize, label->rect()),
              text);
    }

    void checkButton(QAbstractButton* button)
    {
        const QString text = button->text();
        if (text.isEmpty())
            return;
        const QFontMetrics fm = button->fontMetrics();
        const int textWidth = fm.size(Qt::TextShowMnemonic, text).width();
        const int iconWidth = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        if (auto* tool = qobject_cast<QToolButton*>(button)) {
            QStyleOptionToolButton opt;
            (tool->*&ToolAccess::initStyleOption)(&opt);
            if (opt.toolButtonStyle == Qt::ToolButtonIconOnly)
                return;
            // The size hint keeps a space's width of air on either side of the text.
            fits(button, text, tool->sizeHint().width() - 2 * fm.horizontalAdvance(QLatin1Char(' ')),
                 tool->width(), "tool button");
            // A text that carries its own arrow needs none from the style beside it.
            if (QMenu* menu = tool->menu(); menu && tool->popupMode() != QToolButton::MenuButtonPopup &&
                                            (text.contains(QChar(0x25BE)) || text.contains(QChar(0x25BC)))) {
                const QImage with = tool->grab().toImage();
                tool->setMenu(nullptr);
                const QImage without = tool->grab().toImage();
                tool->setMenu(menu);
                if (with != without)
                    cuts << QStringLiteral("%1 «%2»: a second arrow beside the text's own")
                                .arg(describe(tool), text);
            }
        } else {
            // Push buttons, check boxes and radio buttons draw their text in the style's contents rectangle.
            QStyleOptionButton opt;
            opt.initFrom(button);
            opt.text = text;
            opt.icon = button->icon();
            opt.iconSize = button->iconSize();
            const auto* push = qobject_cast<QPushButton*>(button);
            const QStyle::SubElement contents = push ? QStyle::SE_PushButtonContents
                                                : qobject_cast<QRadioButton*>(button)
                                                    ? QStyle::SE_RadioButtonContents
                                                    : QStyle::SE_CheckBoxContents;
            const int indicator =
                push && push->menu()
                    ? button->style()->pixelMetric(QStyle::PM_MenuButtonIndicator, &opt, button)
                    : 0;
            fits(button, text, textWidth + iconWidth + indicator,
                 button->style()->subElementRect(contents, &opt, button).width(), "button");
        }
        shown(button, button->rect(), text);
    }

    void checkCombo(QComboBox* combo)
    {
        shown(combo, combo->rect(), combo->currentText());
        if (combo->isEditable() || combo->currentText().isEmpty())
            return;
        QStyleOptionComboBox opt;
        (combo->*&ComboAccess::initStyleOption)(&opt);
        const QRect field =
            combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
        const int icon = combo->itemIcon(combo->currentIndex()).isNull() ? 0 : combo->iconSize().width() + 4;
        fits(combo, combo->currentText(), combo->fontMetrics().horizontalAdvance(combo->currentText()) + icon,
             field.width(), "combo box");
    }

    void checkSpin(QAbstractSpinBox* spin)
    {
        auto* edit = spin->findChild<QLineEdit*>();
        if (!edit || spin->text().isEmpty())
            return;
        // QLineEdit keeps two pixels of margin on either side of its text.
        fits(spin, spin->text(), edit->fontMetrics().horizontalAdvance(spin->text()),
             edit->contentsRect().width() - 4, "spin box");
        shown(edit, edit->rect(), spin->text());
    }

    void checkTabs(QTabBar* bar)
    {
        for (int i = 0; i < bar->count(); ++i) {
            const QRect r = bar->tabRect(i);
            if (!bar->isTabVisible(i) || bar->tabText(i).isEmpty() || !r.intersects(bar->rect()))
                continue;
            const QSize need = (bar->*&TabAccess::tabSizeHint)(i);
            const bool vertical = bar->shape() % 4 >= 2; // West and East, rounded or triangular
            fits(bar, bar->tabText(i), vertical ? need.height() : need.width(),
                 vertical ? r.height() : r.width(), "tab");
        }
        shown(bar, bar->rect(), bar->tabText(0), true);
    }

    void checkStatus(QStatusBar* bar)
    {
        const QString message = bar->currentMessage();
        if (message.isEmpty())
            return;
        // The message runs from 6 px to 2 px before the first widget kept on the bar (12 px from the end).
        int right = bar->width() - 12;
        for (QWidget* child : bar->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->isVisibleTo(bar) && !child->inherits("QSizeGrip"))
                right = std::min(right, child->x() - 2);
        fits(bar, message, bar->fontMetrics().horizontalAdvance(message.simplified()), right - 6,
             "status message");
    }

    void checkItems(QAbstractItemView* view)
    {
        QAbstractItemModel* model = view->model();
        if (!model)
            return;
        view->doItemsLayout(); // what a pending delayed layout will show
        auto* tree = qobject_cast<QTreeView*>(view);
        auto* list = qobject_cast<QListView*>(view);
        const QRect viewport = view->viewport()->rect();
        std::function<void(const QModelIndex&)> walk = [&](const QModelIndex& parent) {
            for (int row = 0; row < model->rowCount(parent); ++row) {
                if ((tree && tree->isRowHidden(row, parent)) || (list && list->isRowHidden(row)))
                    continue;
                for (int column = 0; column < model->columnCount(parent); ++column) {
                    if ((tree && tree->isColumnHidden(column)) || (list && column != list->modelColumn()))
                        continue;
                    const QModelIndex index = model->index(row, column, parent);
                    const QString text = index.data(Qt::DisplayRole).toString();
                    const QRect r = view->visualRect(index);
                    if (text.isEmpty() || !r.intersects(viewport))
                        continue;
                    if (!tree && !list) { // table cells keep the width the user gives their column
                        glyphs(view, text);
                        continue;
                    }
                    QStyleOptionViewItem opt;
                    (view->*&ViewAccess::initViewItemOption)(&opt);
                    opt.rect = r;
                    const QSize need = view->itemDelegateForIndex(index)->sizeHint(opt, index);
                    const int have =
                        std::min(r.right(), viewport.right()) - std::max(r.left(), viewport.left()) + 1;
                    fits(view, text, need.width(), have, "item");
                    if (text.contains(QLatin1Char('\n')) || (opt.features & QStyleOptionViewItem::WrapText))
                        fits(view, text, need.height(), r.height(), "item height");
                }
                if (tree && tree->isExpanded(model->index(row, 0, parent)))
                    walk(model->index(row, 0, parent));
            }
        };
        walk(view->rootIndex());
    }

    // The platform puts the display name after every title that does not already end with it.
    void checkTitle()
    {
        const QString name = QGuiApplication::applicationDisplayName();
        QString shown = m_window->windowTitle();
        if (name != QCoreApplication::applicationName() && !shown.endsWith(name))
            shown += (shown.isEmpty() ? QString() : QStringLiteral(" — ")) + name;
        if (shown.count(name) > 1)
            cuts << QStringLiteral("title «%1» names the program twice").arg(shown);
        if (shown.isEmpty() && m_window->windowType() != Qt::Popup)
            cuts << QStringLiteral("no title: the platform shows «%1»")
                        .arg(QCoreApplication::applicationName());
    }

    // Entries a toolbar has no room for go behind its overflow button, which must then be there to see.
    void checkOverflow(QToolBar* bar)
    {
        int hidden = 0;
        for (QAction* a : bar->actions()) {
            QWidget* w = bar->widgetForAction(a);
            hidden += a->isVisible() && !a->isSeparator() && w && !w->isVisible();
        }
        if (hidden == 0)
            return;
        auto* more = bar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button"));
        int drawn = 0;
        if (more && more->isVisible()) {
            // The button over the toolbar it sits on, as the user sees it.
            const QImage image = bar->grab(more->geometry()).toImage();
            const int ground = qGray(image.pixel(0, 0));
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    drawn += std::abs(qGray(image.pixel(x, y)) - ground) > 60;
        }
        if (drawn < 4)
            cuts << QStringLiteral("toolbar «%1»: %2 entries behind an overflow button that shows nothing")
                        .arg(bar->windowTitle())
                        .arg(hidden);
        else
            shown(more, more->rect(), QStringLiteral("»"), false);
    }

    void findOverlaps()
    {
        for (int i = 0; i < m_boxes.size(); ++i) {
            for (int j = i + 1; j < m_boxes.size(); ++j) {
                const Box& a = m_boxes[i];
                const Box& b = m_boxes[j];
                if (a.widget->isAncestorOf(b.widget) || b.widget->isAncestorOf(a.widget))
                    continue;
                const QRect both = a.rect & b.rect;
                if (both.width() > 1 && both.height() > 1)
                    overlaps << QStringLiteral("%1 «%2» and %3 «%4» share %5×%6 px")
                                    .arg(describe(a.widget), shortText(a.text), describe(b.widget),
                                         shortText(b.text))
                                    .arg(both.width())
                                    .arg(both.height());
            }
        }
    }
};

QList<QWidget*> shownWindows()
{
    QList<QWidget*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && !qobject_cast<QMenu*>(w))
            out << w;
    return out;
}

} // namespace

class TestReadability : public QObject
{
    Q_OBJECT

    fixtures::TestBench m_bench;
    std::unique_ptr<MainWindow> m_list;
    QString m_study, m_tube, m_native;
    QStringList m_tubeFiles;
    QStringList m_findings;
    // Windows that opened for a row in the theme being checked, each at the size it first showed with.
    QHash<QWidget*, QSize> m_ownSize;
    // What each window of the row showed as it first opened, for those that close themselves.
    QHash<QWidget*, QStringList> m_firstLook;

    db::Database* index() const { return m_list->database(); }

    QString add(fixtures::SeriesLayout& layout)
    {
        return fixtures::writeAndIndexSeries(*index(), m_bench.path(fixtures::newUid()), layout)
                   ? layout.seriesUid
                   : QString();
    }

    void record(const QString& row, const QString& theme, const char* screen, const QStringList& found)
    {
        for (const QString& text : found)
            m_findings << QStringLiteral("%1 [%2, %3] %4").arg(row, theme, QLatin1String(screen), text);
    }

    // Checks w on both screens; windows that the program maximises take the whole work area, others
    // keep their own size within it (and are checked once when that size is the same on both). The
    // hubs are checked on every page, with its result worked out.
    void audit(QWidget* w, const QString& row, const QString& theme)
    {
        if (!m_ownSize.contains(w))
            m_ownSize.insert(w, w->size());
        const bool maximised = qobject_cast<ViewerWindow*>(w) != nullptr;
        QSize previous;
        for (const Screen& screen : kScreens) {
            const QSize size =
                maximised ? screen.work.size() : m_ownSize.value(w).boundedTo(screen.work.size());
            if (size == previous)
                continue;
            previous = size;
            const QPointer<QWidget> guard(w);
            w->setGeometry(QRect(screen.work.topLeft(), size));
            QApplication::processEvents();
            QApplication::processEvents();
            if (!guard) { // a window that closes itself once its work is done: read as it first showed
                record(row, theme, screen.name, m_firstLook.value(w));
                return;
            }
            Audit audit(w, screen.work);
            audit.run();
            record(row, theme, screen.name, audit.cuts + audit.overlaps);
            // The pages change only what lies beside the tree: the smaller screen shows them all.
            if (auto* hub = qobject_cast<CategoryHub*>(w); hub && &screen == &kScreens[0]) {
                for (QTreeWidgetItemIterator it(hub->tree); *it; ++it) {
                    if (!(*it)->data(0, Qt::UserRole).isValid())
                        continue;
                    hub->tree->setCurrentItem(*it);
                    // Each page shows what it works out, as the user who presses its button sees it.
                    for (QPushButton* button : hub->stack->currentWidget()->findChildren<QPushButton*>())
                        if (button->text() == QStringLiteral("Рассчитать"))
                            button->click();
                    QApplication::processEvents();
                    Audit page(w, screen.work);
                    page.run();
                    record(row + QLatin1Char('/') + (*it)->text(0), theme, screen.name,
                           page.cuts + page.overlaps);
                }
            }
        }
    }

    std::unique_ptr<ViewerWindow> openViewer(int rows = 1, int columns = 1, const QString& series = {})
    {
        auto viewer = std::make_unique<ViewerWindow>(index(), m_study, series.isEmpty() ? m_tube : series);
        viewer->showMaximized();
        viewer->onGridLayoutChosen(rows, columns);
        QApplication::processEvents();
        return viewer;
    }

    // The 3D window once its volume is built: 40³ voxels take a fraction of a second, so 30 s only
    // bounds a stuck build on a loaded machine.
    static Vrt3DWindow* builtVrt()
    {
        QThreadPool::globalInstance()->waitForDone(30000);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* vrt = qobject_cast<Vrt3DWindow*>(w); vrt && vrt->isVisible())
                return QTest::qWaitFor([vrt] { return vrt->isEnabled(); }, 30000) ? vrt : nullptr;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        m_bench.reset();
        setUpApplication(*qApp);
        m_list = std::make_unique<MainWindow>();

        // A long name, a long description and a vessel to follow (300 HU, radius 3 mm along z through
        // pixel (20, 20)), then two short plain series of one geometry a minute apart; an older,
        // protected study of the same patient.
        fixtures::SeriesLayout layout;
        layout.patientName =
            QStringLiteral("Константинопольская-Воскресенская^Александра-Виктория^Владимировна");
        layout.patientId = QStringLiteral("KLV-2024-00018734");
        layout.birthDate = QStringLiteral("19580412");
        layout.sex = QStringLiteral("F");
        layout.studyDate = QStringLiteral("20240315");
        layout.studyDescription =
            QStringLiteral("КТ органов грудной клетки и брюшной полости с контрастированием");
        layout.seriesDescription = QStringLiteral("Артериальная фаза 1.0 мм, мягкотканный фильтр");
        layout.rows = layout.columns = layout.slices = 40;
        layout.rowSpacing = layout.columnSpacing = layout.sliceSpacing = layout.sliceThickness = 1.0;
        layout.value = [](int x, int y, int) {
            return (x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9 ? 1324 : 1064;
        };
        fixtures::completeUids(layout);
        m_tube = add(layout);
        m_study = layout.studyUid;
        layout.value = nullptr;
        layout.rows = layout.columns = 24;
        layout.slices = 6;
        for (const QString& description :
             {QStringLiteral("Нативная фаза"), QStringLiteral("Венозная фаза")}) {
            layout.seriesUid.clear();
            layout.seriesNumber = QString::number(layout.seriesNumber.toInt() + 1);
            layout.seriesDescription = description;
            layout.acquisitionTimeStart += 60.0;
            const QString uid = add(layout);
            if (m_native.isEmpty())
                m_native = uid;
        }
        fixtures::SeriesLayout older = layout;
        older.studyUid = older.seriesUid = QString();
        older.studyDate = QStringLiteral("20230102");
        older.modality = QStringLiteral("MR");
        older.studyDescription = QStringLiteral("МРТ головного мозга");
        QVERIFY(!m_tube.isEmpty() && !m_native.isEmpty() && !add(older).isEmpty());
        QVERIFY(index()->setStudyProtected(older.studyUid, true));
        for (const db::InstanceRecord& r : index()->instancesForSeries(m_tube))
            m_tubeFiles << r.filePath;
        m_list->refreshStudyTable();
        m_list->show();
    }

    void cleanupTestCase() { m_list.reset(); }

    void windows_data()
    {
        QTest::addColumn<QString>("window");
        for (const char* name : {"study list",
                                 "viewer 1x1",
                                 "viewer 1x2",
                                 "viewer 3x3",
                                 "layout picker",
                                 "MPR",
                                 "3D VRT",
                                 "density range",
                                 "transfer function",
                                 "DCE",
                                 "CTA",
                                 "lung nodule",
                                 "coronary calcium",
                                 "curved MPR",
                                 "vessel",
                                 "panoramic",
                                 "endoscopy",
                                 "cardiac MRI",
                                 "calculators",
                                 "classifications",
                                 "tag editor",
                                 "export",
                                 "print preview",
                                 "study picker",
                                 "about",
                                 "bug report",
                                 "burn disc",
                                 "help",
                                 "hotkeys",
                                 "PACS settings",
                                 "storage settings",
                                 "toolbar",
                                 "comment",
                                 "PACS download",
                                 "remote access",
                                 "remote browser"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void windows()
    {
        QFETCH(QString, window);
        m_findings.clear();
        // Opened from the larger screen, every window takes its own size; the audit then fits it to each.
        standOn(QStringLiteral("large"));
        for (const bool dark : {true, false}) {
            const QString theme = dark ? QStringLiteral("dark") : QStringLiteral("light");
            applyTheme(qApp, dark);
            m_ownSize.clear();
            const QList<QWidget*> before = shownWindows();
            // The page layout is accepted so that the print preview opens; every other dialog is cancelled.
            fixtures::ModalAnswer answer(QMessageBox::Ok,
                                         window == u"print preview" ? QDialog::Accepted : QDialog::Rejected);
            answer.setDialogHandler([&](QDialog* d) {
                audit(d, window, theme);
                return true;
            });
            std::unique_ptr<ViewerWindow> viewer;
            std::unique_ptr<QWidget> own;
            open(window, viewer, own);
            // A window that shows only while its own thread works (the subtraction build) may be gone
            // before its turn: each new window is read at once as it shows, before that end can arrive.
            m_firstLook.clear();
            for (QWidget* w : shownWindows()) {
                if (before.contains(w) || w == viewer.get())
                    continue;
                Audit look(w, w->geometry());
                look.run();
                m_firstLook.insert(w, look.cuts + look.overlaps);
            }
            // Builds the window started (volumes, reconstructions) end first; 30 s only bounds a stuck one.
            QThreadPool::globalInstance()->waitForDone(30000);
            QApplication::processEvents();
            // A popup closes (and goes) when another window takes the screen: hold the windows weakly.
            QList<QPointer<QWidget>> opened;
            for (QWidget* w : shownWindows())
                if (!before.contains(w) && w != viewer.get())
                    opened << w;
            if (window == u"study list")
                opened << m_list.get();
            if (window.startsWith(u"viewer"))
                opened << viewer.get();
            for (const QPointer<QWidget>& w : opened)
                if (w)
                    audit(w, window, theme);
            // What a window that closed itself left in its place (the subtraction's 3D view).
            builtVrt();
            for (QWidget* w : shownWindows()) {
                if (!before.contains(w) && w != viewer.get() && w != m_list.get() && !opened.contains(w)) {
                    opened << w;
                    audit(w, window, theme);
                }
            }
            for (const QPointer<QWidget>& w : opened)
                if (w && w != own.get() && w != viewer.get() && w != m_list.get())
                    w->deleteLater();
            own.reset();
            viewer.reset();
            QApplication::processEvents();
        }
        for (const QString& finding : std::as_const(m_findings))
            qInfo("%s", qPrintable(finding));
        QVERIFY2(m_findings.isEmpty(), qPrintable(QStringLiteral("%1 findings").arg(m_findings.size())));
    }

    // A window opens at its own size where the screen it opens on has room for it, else within that
    // screen's available area: opened from the study list (or from a viewer opened from it) on a screen of
    // 1366 × 768 and on one of 1920 × 1080. The PACS dialog keeps that size whatever its status says.
    void windowsOpenWithinTheScreen_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QSize>("size"); // its own
        QTest::addColumn<QString>("screen");
        const std::pair<const char*, QSize> windows[] = {
            {"viewer 1x1", {1400, 900}},   {"MPR", {1300, 900}},       {"curved MPR", {1400, 800}},
            {"cardiac MRI", {1300, 950}},  {"coronary calcium", {1100, 850}}, {"DCE", {1100, 800}},
            {"3D VRT", {900, 800}},        {"endoscopy", {1150, 750}}, {"lung nodule", {900, 750}},
            {"print preview", {1000, 800}}, {"remote browser", {900, 720}}, {"PACS download", {860, 580}}};
        for (const auto& [window, size] : windows)
            for (const char* screen : {"small", "large"})
                QTest::addRow("%s on %s", window, screen) << QString::fromLatin1(window) << size << screen;
    }

    void windowsOpenWithinTheScreen()
    {
        QFETCH(QString, window);
        QFETCH(QSize, size);
        QFETCH(QString, screen);
        const QRect area = standOn(screen);
        fixtures::ModalAnswer answer(QMessageBox::Ok,
                                     window == u"print preview" ? QDialog::Accepted : QDialog::Rejected);
        std::unique_ptr<ViewerWindow> viewer;
        std::unique_ptr<QWidget> own;
        QWidget* opened = nullptr;
        if (window.startsWith(u"viewer")) {
            // As the portable viewer shows it (the study list maximises its viewers).
            viewer = std::make_unique<ViewerWindow>(index(), m_study, m_tube);
            viewer->show();
            opened = viewer.get();
        } else {
            open(window, viewer, own);
            const std::map<QString, std::function<bool(QWidget*)>> isIt{
                {"MPR", [](QWidget* w) { return dynamic_cast<MprWindow*>(w) != nullptr; }},
                {"curved MPR", [](QWidget* w) { return dynamic_cast<CurvedMprWindow*>(w) != nullptr; }},
                {"cardiac MRI", [](QWidget* w) { return dynamic_cast<CardiacMriWindow*>(w) != nullptr; }},
                {"coronary calcium", [](QWidget* w) { return dynamic_cast<CoronaryCalciumWindow*>(w) != nullptr; }},
                {"DCE", [](QWidget* w) { return dynamic_cast<DceAnalysisWindow*>(w) != nullptr; }},
                {"3D VRT", [](QWidget* w) { return dynamic_cast<Vrt3DWindow*>(w) != nullptr; }},
                {"endoscopy", [](QWidget* w) { return dynamic_cast<EndoscopyWindow*>(w) != nullptr; }},
                {"lung nodule", [](QWidget* w) { return dynamic_cast<LungNoduleWindow*>(w) != nullptr; }},
                {"print preview", [](QWidget* w) { return dynamic_cast<PrintPreviewDialog*>(w) != nullptr; }},
                {"remote browser", [](QWidget* w) { return dynamic_cast<RemoteBrowserDialog*>(w) != nullptr; }},
                {"PACS download", [](QWidget* w) { return dynamic_cast<PacsDownloadDialog*>(w) != nullptr; }}};
            const auto& wanted = isIt.at(window);
            // Some open once their volume is built: 30 s only bounds a stuck build.
            QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                         for (QWidget* w : shownWindows())
                                             if (wanted(w))
                                                 opened = w;
                                         return opened != nullptr;
                                     }()),
                                     30000);
        }
        QApplication::processEvents();
        if (screen == u"small")
            QVERIFY2(area.contains(opened->frameGeometry()),
                     qPrintable(QStringLiteral("%1 in %2").arg(rectText(opened->frameGeometry()), rectText(area))));
        else
            QCOMPARE(opened->size(), size);
        if (auto* pacsDialog = qobject_cast<PacsDownloadDialog*>(opened)) {
            // A download waits for its port, then ends with a cause that names a path no line can break.
            const QSize opening = opened->size();
            const QString path = QStringLiteral("/") + QStringList(30, QStringLiteral("папка-загрузки")).join('/');
            pacs::PacsOpenCoordinator* retrieve = pacsDialog->coordinator();
            for (int step = 0; step < 2; ++step) {
                if (step == 0)
                    emit retrieve->waitingForPort(QStringLiteral(
                        "Загрузка ждёт, пока освободится порт 65535 для приёма исследований: его ещё держат "
                        "недавно закрытые соединения, а система освобождает их в течение минуты. Загрузка "
                        "продолжится сама, как только порт освободится, и откроет исследование."));
                else
                    emit retrieve->finished(true, QStringLiteral("Не удалось записать %1").arg(path), 3);
                QApplication::processEvents();
                const QRect shownOn = opened->screen()->availableGeometry();
                QVERIFY2(shownOn.contains(opened->frameGeometry()),
                         qPrintable(QStringLiteral("%1 in %2").arg(rectText(opened->frameGeometry()), rectText(shownOn))));
                QCOMPARE(opened->size(), opening);
                QVERIFY(pacsDialog->statusLabel()->toolTip().endsWith(step == 0 ? QStringLiteral("исследование.")
                                                                                  : path));
            }
        }
        QThreadPool::globalInstance()->waitForDone(30000);
        for (QWidget* w : shownWindows())
            if (w != m_list.get() && w != viewer.get() && w != own.get())
                w->deleteLater();
        own.reset();
        viewer.reset();
        QApplication::processEvents();
    }

private:
    static QString rectText(const QRect& r)
    {
        return QStringLiteral("%1,%2 %3×%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }

    // Puts the study list on the named screen as the window the user works in, from which the next
    // window opens; returns that screen's available area.
    QRect standOn(const QString& screenName)
    {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->name() != screenName)
                continue;
            m_list->move(screen->availableGeometry().topLeft() + QPoint(20, 20));
            m_list->activateWindow();
            if (!QTest::qWaitFor([this] { return QApplication::activeWindow() == m_list.get(); }, 5000))
                qWarning("the study list did not become the active window");
            return screen->availableGeometry();
        }
        qWarning("no screen named %s", qPrintable(screenName));
        return {};
    }

    void open(const QString& window, std::unique_ptr<ViewerWindow>& viewer, std::unique_ptr<QWidget>& own)
    {
        // Windows the viewer opens on its active panel's series (the two phase series for DCE and CTA).
        const std::map<QString, void (ViewerWindow::*)()> fromViewer{
            {"MPR", &ViewerWindow::openMprWindow},
            {"DCE", &ViewerWindow::openDceWindow},
            {"CTA", &ViewerWindow::openCtaSubtractionWindow},
            {"lung nodule", &ViewerWindow::openLungNoduleWindow},
            {"coronary calcium", &ViewerWindow::openCoronaryCalciumWindow},
            {"tag editor", &ViewerWindow::showDicomTags},
            {"export", &ViewerWindow::openExportDialog},
            {"study picker", &ViewerWindow::chooseComparisonStudyManually}};
        if (const auto it = fromViewer.find(window); it != fromViewer.end()) {
            viewer = openViewer(1, 1, window == u"DCE" || window == u"CTA" ? m_native : m_tube);
            (viewer.get()->*it->second)();
            return;
        }
        // Windows that stand on their own.
        const std::map<QString, std::function<QWidget*()>> alone{
            {"about", [] { return new AboutDialog; }},
            {"bug report", [] { return new BugReportDialog; }},
            {"burn disc",
             [] {
                 return new BurnDiscDialog(734003200, 52428800, 0, 41943040,
                                           QStringLiteral("KALVENOR_20240315"));
             }},
            {"help", [] { return new HelpDialog; }},
            {"hotkeys", [] { return new HotkeySettingsDialog; }},
            {"PACS settings", [] { return new PacsSettingsDialog; }},
            {"storage settings", [] { return new SettingsDialog; }},
            {"PACS download", [this] { return new PacsDownloadDialog(index()); }},
            {"remote access", [] { return new RemoteAccessDialog; }},
            {"remote browser", [this] { return new RemoteBrowserDialog(index(), nullptr); }},
            {"cardiac MRI",
             [this] { return new CardiacMriWindow(cineStack(), QStringLiteral("SAX cine"), {}, nullptr); }}};
        if (const auto it = alone.find(window); it != alone.end()) {
            own.reset(it->second());
            own->show();
            return;
        }
        if (window == u"study list") {
            m_list->onStudySelected(fixtures::studyRow(m_list->studyTable(), m_study), 0);
            return;
        }
        if (window == u"comment") {
            CommentInputDialog::getText(nullptr, QStringLiteral("Текстовая метка"), QString());
            return;
        }
        viewer = window == u"viewer 3x3" ? openViewer(3, 3) : openViewer(1, window == u"viewer 1x2" ? 2 : 1);
        // Two points on the vessel's axis (patient mm).
        const std::array<double, 3> a{-80.0, -100.0, 58.0};
        const std::array<double, 3> b{-80.0, -100.0, 80.0};
        const QStringList curved{"curved MPR", "vessel", "panoramic"};
        if (window == u"viewer 3x3") {
            for (int i = 1; i < 9; ++i) {
                viewer->setActiveViewport(i);
                viewer->showSeriesInActivePanel(i % 2 ? m_native : m_tube);
            }
            viewer->setActiveViewport(0);
            viewer->panel(0)->enterReconstructionPlane(3);
        } else if (window == u"3D VRT" || window == u"density range" || window == u"transfer function") {
            viewer->openVrtWindow();
            if (Vrt3DWindow* vrt = builtVrt(); vrt && window != u"3D VRT") {
                window == u"density range" ? vrt->openCustomDensityRangeDialog()
                                           : vrt->openTransferFunctionEditor();
                vrt->hide();
            }
        } else if (curved.contains(window)) {
            viewer->startCurvedMprBuild({a, b}, int(curved.indexOf(window)));
        } else if (window == u"print preview") {
            viewer->panel(0)->selectAllSlices();
            viewer->printActivePanel();
        } else if (window == u"layout picker") {
            viewer->layoutButton()->click();
        } else if (window == u"endoscopy") {
            viewer->openEndoscopyWindow(a);
        } else if (window == u"toolbar") {
            showToolbarCustomizeDialog(viewer.get());
        } else if (window == u"calculators" || window == u"classifications") {
            const QString text =
                window == u"calculators" ? QStringLiteral("Расчёты") : QStringLiteral("Классификации");
            for (QAction* action : viewer->findChildren<QAction*>())
                if (action->text() == text)
                    action->trigger();
        }
    }

    // Four slices of five phases from the vessel series, as a short-axis cine stack.
    render::CineStack cineStack() const
    {
        render::CineStack stack;
        for (int s = 0; s < 4; ++s) {
            render::CineSlice slice;
            slice.sliceLocation = s * 8.0;
            for (int p = 0; p < 5; ++p) {
                db::InstanceRecord r;
                r.filePath = m_tubeFiles.value(s * 5 + p);
                r.instanceNumber = s * 5 + p + 1;
                r.pixelSpacingX = r.pixelSpacingY = 1.0;
                r.sliceThickness = 8.0;
                slice.frames.append(r);
            }
            stack.slices.append(slice);
        }
        return stack;
    }
};

int main(int argc, char** argv)
{
    // Two screens of the sizes checked, side by side, for the off-screen platform the tests run on.
    QTemporaryDir screens;
    if (qgetenv("QT_QPA_PLATFORM").startsWith("offscreen") && screens.isValid()) {
        QFile config(screens.filePath(QStringLiteral("screens.json")));
        if (config.open(QIODevice::WriteOnly))
            config.write(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1366, "height": 768},
                                        {"name": "large", "x": 1366, "y": 0, "width": 1920, "height": 1080}]})");
        config.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    }
    QApplication app(argc, argv);
    TestReadability test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_readability.moc"
