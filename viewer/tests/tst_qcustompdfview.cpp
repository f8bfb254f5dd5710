#include "pdflinkmodel.h"
#include "qcustompdfview.h"
#include "testpdf.h"

#include <QClipboard>
#include <QDir>
#include <QMouseEvent>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <poppler-qt6.h>

// Three US-letter pages. Page 0 has words in its middle and one word ending at its bottom-right
// corner, page 2 one word starting at its top-left corner, so that the selections a drag across
// pages makes (to and from the page corners) hold text.
static QString writeThreePages(const QString &dir, QList<QRectF> *boxes)
{
    TestPdf pdf;
    for (int i = 0; i < 3; ++i)
        pdf.addPage(QSizeF(612, 792));
    boxes->append(pdf.addText(0, { 100, 200 }, "alpha words"));
    boxes->append(pdf.addText(0, { 612 - TestPdf::textWidth("the Omega", 12), 789 }, "the Omega"));
    boxes->append(pdf.addText(1, { 72, 300 }, "middle page"));
    boxes->append(pdf.addText(2, { 0, 9 }, "Start here"));
    boxes->append(pdf.addText(2, { 100, 300 }, "finish line"));
    pdf.addLink(0, QRectF(100, 600, 120, 14), "https://example.invalid/");
    const QString path = dir + "/three.pdf";
    return pdf.write(path) ? path : QString();
}

class tst_QCustomPdfView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void layoutFollowsADocumentLoadedLater();
    void pageAt_data();
    void pageAt();
    void jumpToHighlights_data();
    void jumpToHighlights();
    void wheel_data();
    void wheel();
    void preferredSize_data();
    void preferredSize();
    void searchResultsComeInPageOrder_data();
    void searchResultsComeInPageOrder();
    void dragSelects_data();
    void dragSelects();
    void clickClearsSelection_data();
    void clickClearsSelection();
    void copy_data();
    void copy();
    void copiesTextOfARealDocument();
    void overlaysPaintOverTheirBoxes();
    void textGeometryLandsOnText_data();
    void textGeometryLandsOnText();
    void overlaysLandOnTheDrawnPages_data();
    void overlaysLandOnTheDrawnPages();

private:
    // The view as the window holds it: several pages below each other, viewport of this size.
    void setUpView(QCustomPdfView &view, QPdfDocument *doc, const QSize &viewportSize);
    QPoint viewportPoint(const QCustomPdfView &view, int page, const QPointF &points) const;
    bool at96Dpi() const { return dpi == 96; }
    double r() const { return dpi / 72; }
    int pageTop(int page) const { return int(6 * r()) + page * (qRound(792 * r()) + 3); }

    QTemporaryDir dir;
    double dpi = 0;
    QString threePages;
    QList<QRectF> threeBoxes;
    QPdfDocument three;
};

void tst_QCustomPdfView::initTestCase()
{
    QVERIFY(dir.isValid());
    dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    qInfo("platform %s, logical DPI %g", qPrintable(QGuiApplication::platformName()), dpi);
    // The 96 DPI numbers must hold under Xvfb; another platform may report another DPI, and then
    // only the numbers computed from it are checked.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        QCOMPARE(dpi, 96.0);
    threePages = writeThreePages(dir.path(), &threeBoxes);
    QVERIFY(!threePages.isEmpty());
    three.setProperty("sourceFile", threePages); // for its link
    QCOMPARE(three.load(threePages), QPdfDocument::Error::None);
}

void tst_QCustomPdfView::setUpView(
    QCustomPdfView &view, QPdfDocument *doc, const QSize &viewportSize)
{
    view.setPageMode(QPdfView::PageMode::MultiPage);
    view.open(doc);
    view.resize(viewportSize);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // Scroll bars and the frame take their share: grow the view until the viewport has the size.
    view.resize(viewportSize + view.size() - view.viewport()->size());
    QCOMPARE(view.viewport()->size(), viewportSize);
}

QPoint tst_QCustomPdfView::viewportPoint(
    const QCustomPdfView &view, int page, const QPointF &points) const
{
    const double s = view.zoomFactor() * dpi / 72;
    const QRect rect = view.pageGeometries.value(page);
    return QPointF(rect.left() + points.x() * s - view.horizontalScrollBar()->value(),
        rect.top() + points.y() * s - view.verticalScrollBar()->value())
        .toPoint();
}

static void press(QWidget *w, Qt::MouseButton button, const QPoint &pos)
{
    QMouseEvent e(QEvent::MouseButtonPress, pos, w->mapToGlobal(pos), button, button, {});
    QCoreApplication::sendEvent(w, &e);
}

static void move(QWidget *w, Qt::MouseButton button, const QPoint &pos)
{
    QMouseEvent e(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, button, {});
    QCoreApplication::sendEvent(w, &e);
}

static void release(QWidget *w, Qt::MouseButton button, const QPoint &pos)
{
    QMouseEvent e(QEvent::MouseButtonRelease, pos, w->mapToGlobal(pos), button, Qt::NoButton, {});
    QCoreApplication::sendEvent(w, &e);
}

static void sendWheel(QWidget *w, const QPoint &angle, Qt::KeyboardModifiers modifiers)
{
    const QPoint pos(50, 50);
    QWheelEvent e(pos, w->mapToGlobal(pos), QPoint(), angle, Qt::NoButton, modifiers,
        Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(w, &e);
}

static bool isBluish(QRgb c)
{
    return qBlue(c) - qRed(c) > 50 && qBlue(c) - qGreen(c) > 50;
}

// Black text, bare or under the translucent overlay (which keeps its red and green low); the
// overlay on the white page or on the background is not ink.
static bool isInk(QRgb c)
{
    return qRed(c) < 60 && qGreen(c) < 60;
}

// Walks from a point inside a page outwards (step: the direction in x or y) over at most
// `reach` pixels and returns the last pixel that is not the background, or -1 when the start
// lies on the background or no background is reached.
static int drawnEdge(
    const QImage &image, QRgb background, QPoint inside, const QPoint &step, int reach)
{
    if (image.pixel(inside) == background)
        return -1;
    for (int i = 0; i < reach; ++i) {
        const QPoint next = inside + step;
        if (!image.rect().contains(next))
            return -1;
        if (image.pixel(next) == background)
            return step.x() ? inside.x() : inside.y();
        inside = next;
    }
    return -1;
}

void tst_QCustomPdfView::layout_data()
{
    QTest::addColumn<int>("viewportWidth");
    QTest::addColumn<int>("x96");
    QTest::newRow("wider than the pages") << 1000 << 92;
    QTest::newRow("narrower than the pages") << 700 << 8;
}

void tst_QCustomPdfView::layout()
{
    QFETCH(int, viewportWidth);
    QFETCH(int, x96);
    QCustomPdfView view;
    setUpView(view, &three, QSize(viewportWidth, 600));

    const QSize page(qRound(612 * r()), qRound(792 * r()));
    const int total = int(page.width() + 12 * r());
    const int x = (qMax(total, viewportWidth) - page.width()) / 2;
    QCOMPARE(view.pageGeometries.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(view.pageGeometries.value(i), QRect(QPoint(x, pageTop(i)), page));

    if (!at96Dpi())
        QSKIP("the 96 DPI numbers are checked under Xvfb");
    QCOMPARE(page, QSize(816, 1056));
    QCOMPARE(total, 832);
    QCOMPARE(x, x96);
    QCOMPARE(QList<int>({ pageTop(0), pageTop(1), pageTop(2) }), QList<int>({ 8, 1067, 2126 }));
}

void tst_QCustomPdfView::layoutFollowsADocumentLoadedLater()
{
    QPdfDocument doc;
    QCustomPdfView view;
    setUpView(view, &doc, QSize(1000, 600));
    QVERIFY(view.pageGeometries.isEmpty());

    QCOMPARE(doc.load(threePages), QPdfDocument::Error::None);
    QCOMPARE(view.pageGeometries.size(), 3);
    QCOMPARE(view.pageGeometries.value(2).top(), pageTop(2));
    doc.close();
    QVERIFY(view.pageGeometries.isEmpty());
}

void tst_QCustomPdfView::pageAt_data()
{
    QTest::addColumn<int>("anchorPage");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("y96");
    QTest::addColumn<int>("page");
    QTest::newRow("spacing below page 0") << 1 << -1 << 1066 << 0;
    QTest::newRow("top edge of page 1") << 1 << 0 << 1067 << 1;
    QTest::newRow("above page 0") << 0 << -3 << 5 << -1;
    QTest::newRow("far below the last page") << 3 << 100000 - 3185 << 100000 << 2;
}

void tst_QCustomPdfView::pageAt()
{
    QFETCH(int, anchorPage);
    QFETCH(int, offset);
    QFETCH(int, y96);
    QFETCH(int, page);
    QCustomPdfView view;
    setUpView(view, &three, QSize(1000, 600));

    const int y = pageTop(anchorPage) + offset;
    QCOMPARE(view.pageAt(QPoint(0, y)), page);
    QCOMPARE(view.pageAt(QPoint(5000, y)), page);

    QCustomPdfView empty;
    QCOMPARE(empty.pageAt(QPoint(0, y)), -1);

    if (!at96Dpi())
        QSKIP("the 96 DPI numbers are checked under Xvfb");
    QCOMPARE(y, y96);
}

void tst_QCustomPdfView::jumpToHighlights_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("expected96");
    QTest::newRow("page 1") << 1 << 1259;
    QTest::newRow("page -1") << -1 << 100;
    QTest::newRow("past the last page") << 3 << 100;
}

void tst_QCustomPdfView::jumpToHighlights()
{
    QFETCH(int, page);
    QFETCH(int, expected96);
    QCustomPdfView view;
    setUpView(view, &three, QSize(1000, 600));
    view.verticalScrollBar()->setValue(100);

    view.jumpToHighlights();
    QCOMPARE(view.verticalScrollBar()->value(), 100);

    view.setHighlight(Chunk("doc", page, 72, 144, 200, 20));
    view.jumpToHighlights();
    const bool inDocument = page >= 0 && page < 3;
    const int expected = inDocument ? qRound(pageTop(page) + 144 * r()) : 100;
    QCOMPARE(view.verticalScrollBar()->value(), expected);

    if (!at96Dpi())
        QSKIP("the 96 DPI numbers are checked under Xvfb");
    QCOMPARE(expected, expected96);
}

void tst_QCustomPdfView::wheel_data()
{
    QTest::addColumn<double>("startZoom");
    QTest::addColumn<int>("events");
    QTest::addColumn<QPoint>("angle");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<double>("expectedZoom");
    QTest::addColumn<bool>("scrolls");
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("ten steps in") << 1.0 << 10 << QPoint(0, 120) << ctrl << 2.0 << false;
    QTest::newRow("a large delta is one step")
        << 1.0 << 1 << QPoint(0, 960) << ctrl << 1.1 << false;
    QTest::newRow("ctrl+shift zooms too")
        << 1.0 << 1 << QPoint(0, 120) << int(Qt::ControlModifier | Qt::ShiftModifier) << 1.1
        << false;
    QTest::newRow("one step out") << 1.0 << 1 << QPoint(0, -120) << ctrl << 0.9 << false;
    QTest::newRow("stops at 0.1") << 1.0 << 15 << QPoint(0, -120) << ctrl << 0.1 << false;
    QTest::newRow("from 0.15 to the floor") << 0.15 << 1 << QPoint(0, -120) << ctrl << 0.1 << false;
    QTest::newRow("below the floor stays") << 0.05 << 1 << QPoint(0, -120) << ctrl << 0.05 << false;
    QTest::newRow("horizontal with ctrl does nothing")
        << 1.0 << 1 << QPoint(120, 0) << ctrl << 1.0 << false;
    QTest::newRow("without ctrl it scrolls") << 1.0 << 1 << QPoint(0, -120) << 0 << 1.0 << true;
}

void tst_QCustomPdfView::wheel()
{
    QFETCH(double, startZoom);
    QFETCH(int, events);
    QFETCH(QPoint, angle);
    QFETCH(int, modifiers);
    QFETCH(double, expectedZoom);
    QFETCH(bool, scrolls);
    QCustomPdfView view;
    view.setZoomFactor(startZoom);
    setUpView(view, &three, QSize(1000, 600));
    view.horizontalScrollBar()->setValue(0);
    view.verticalScrollBar()->setValue(0);

    const bool zooms = (modifiers & Qt::ControlModifier) && angle.y() != 0;
    const QRegularExpression line(angle.y() > 0 ? "^Zooming in\\. New zoom factor: [0-9.]+$"
                                                : "^Zooming out\\. New zoom factor: [0-9.]+$");
    for (int i = 0; i < events; ++i) {
        if (zooms)
            QTest::ignoreMessage(QtDebugMsg, line);
        sendWheel(view.viewport(), angle, Qt::KeyboardModifiers(modifiers));
    }

    QVERIFY2(qAbs(view.zoomFactor() - expectedZoom) < 1e-9,
        qPrintable(QString::number(view.zoomFactor(), 'g', 17)));
    QCOMPARE(view.verticalScrollBar()->value() > 0, scrolls);
    QCOMPARE(view.horizontalScrollBar()->value(), 0);
    // The layout follows every step.
    QCOMPARE(view.pageGeometries.value(0).width(), qRound(612 * r() * view.zoomFactor()));
}

void tst_QCustomPdfView::preferredSize_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QSize>("expected96");
    QTest::newRow("no document") << QString() << 1.0 << QSize(300, 400);
    QTest::newRow("no pages") << "missing.pdf" << 1.0 << QSize(300, 400);
    QTest::newRow("letter page") << "three.pdf" << 1.0 << QSize(848, 1068);
    QTest::newRow("letter page at zoom 2") << "three.pdf" << 2.0 << QSize(1680, 2124);
}

// The height of the first page with the unscaled margins; the width of the pages with their
// scaled margins, beside the vertical scroll bar.
void tst_QCustomPdfView::preferredSize()
{
    QFETCH(QString, file);
    QFETCH(double, zoom);
    QFETCH(QSize, expected96);
    QPdfDocument doc;
    QCustomPdfView view;
    view.setZoomFactor(zoom);
    if (!file.isNull()) {
        doc.load(dir.filePath(file));
        view.open(&doc);
    }

    const int besideBar = view.verticalScrollBar()->sizeHint().width() + 2 * view.frameWidth();
    const QSize expected = doc.pageCount() > 0
        ? QSize(qRound(612 * r() * zoom) + int(12 * r() * zoom) + besideBar,
            qRound(792 * r() * zoom) + 12)
        : QSize(300, 400);
    QCOMPARE(view.preferredSize(), expected);

    if (!at96Dpi())
        QSKIP("the 96 DPI numbers are checked under Xvfb");
    QCOMPARE(expected, expected96);
}

void tst_QCustomPdfView::searchResultsComeInPageOrder_data()
{
    QTest::addColumn<bool>("withModel");
    QTest::addColumn<bool>("withDocument");
    QTest::addColumn<QList<int>>("pages");
    QTest::newRow("no model") << false << false << QList<int>();
    QTest::newRow("model without document") << true << false << QList<int>();
    QTest::newRow("hits on pages 4 and 0") << true << true << QList<int>({ 0, 0, 4 });
}

void tst_QCustomPdfView::searchResultsComeInPageOrder()
{
    QFETCH(bool, withModel);
    QFETCH(bool, withDocument);
    QFETCH(QList<int>, pages);
    TestPdf pdf;
    for (int i = 0; i < 5; ++i)
        pdf.addPage(QSizeF(612, 792));
    pdf.addText(4, { 72, 100 }, "a needle on the last page");
    pdf.addText(0, { 72, 400 }, "needle and another needle");
    pdf.addText(2, { 72, 100 }, "nothing to find");
    QVERIFY(pdf.write(dir.filePath("five.pdf")));
    QPdfDocument doc;
    QCOMPARE(doc.load(dir.filePath("five.pdf")), QPdfDocument::Error::None);
    QPdfSearchModel model;
    if (withDocument)
        model.setDocument(&doc);
    model.setSearchString("needle");

    QCustomPdfView view;
    view.searchResults.append(QPdfLink()); // anything before is replaced
    view.setSearchResults(withModel ? &model : nullptr);
    QList<int> found;
    for (const QPdfLink &hit : view.searchResults) {
        found.append(hit.page());
        QVERIFY(!hit.rectangles().isEmpty());
    }
    QCOMPARE(found, pages);
}

void tst_QCustomPdfView::dragSelects_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("fromPage");
    QTest::addColumn<QPointF>("from");
    QTest::addColumn<int>("toPage");
    QTest::addColumn<QPointF>("to");
    QTest::addColumn<QStringList>("texts"); // per selected page, in page order: prefix of text
    QTest::addColumn<QList<int>>("pages");
    QTest::newRow("within one page")
        << int(Qt::LeftButton) << 0 << QPointF(102, 196) << 0 << QPointF(150, 196)
        << QStringList({ "alpha w" }) << QList<int>({ 0 });
    QTest::newRow("over three pages")
        << int(Qt::LeftButton) << 0 << QPointF(102, 196) << 2 << QPointF(110, 296)
        << QStringList({ "alpha words\r\nthe Omega", "Start here\r\nfi" }) << QList<int>({ 0, 2 });
    QTest::newRow("right button") << int(Qt::RightButton) << 0 << QPointF(102, 196) << 2
                                  << QPointF(110, 296) << QStringList() << QList<int>();
}

void tst_QCustomPdfView::dragSelects()
{
    QFETCH(int, button);
    QFETCH(int, fromPage);
    QFETCH(QPointF, from);
    QFETCH(int, toPage);
    QFETCH(QPointF, to);
    QFETCH(QStringList, texts);
    QFETCH(QList<int>, pages);
    QCustomPdfView view;
    // Tall enough for all three pages, so the drag needs no scrolling.
    setUpView(view, &three, QSize(1000, pageTop(3) + 8));

    const auto b = Qt::MouseButton(button);
    QWidget *vp = view.viewport();
    press(vp, b, viewportPoint(view, fromPage, from));
    move(vp, b, viewportPoint(view, (fromPage + toPage) / 2, QPointF(300, 400)));
    move(vp, b, viewportPoint(view, toPage, to));
    release(vp, b, viewportPoint(view, toPage, to));

    QCOMPARE(view.selections.keys(), pages);
    for (int i = 0; i < pages.size(); ++i) {
        const QPdfSelection selection = view.selections.constFind(pages[i]).value();
        QVERIFY(selection.isValid());
        QVERIFY2(selection.text().startsWith(texts[i]), qPrintable(selection.text()));
    }
    if (pages.size() == 2) // the pages between get nothing; the selection ends inside "finish"
        QVERIFY(!view.selections.constFind(2).value().text().contains("line"));
}

void tst_QCustomPdfView::clickClearsSelection_data()
{
    QTest::addColumn<bool>("sameSpot");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<bool>("kept");
    QTest::newRow("click") << true << false << false;
    QTest::newRow("double click") << true << true << false;
    QTest::newRow("press and release apart") << false << false << true;
}

void tst_QCustomPdfView::clickClearsSelection()
{
    QFETCH(bool, sameSpot);
    QFETCH(bool, doubleClick);
    QFETCH(bool, kept);
    QCustomPdfView view;
    setUpView(view, &three, QSize(1000, 600));
    QWidget *vp = view.viewport();
    const QPoint start = viewportPoint(view, 0, { 102, 196 });
    const QPoint end = viewportPoint(view, 0, { 150, 196 });
    press(vp, Qt::LeftButton, start);
    move(vp, Qt::LeftButton, end);
    release(vp, Qt::LeftButton, end);
    QCOMPARE(view.selections.size(), 1);

    const QPoint spot(400, 500);
    if (doubleClick) {
        QTest::ignoreMessage(QtDebugMsg, "Mouse double-clicked at position: QPointF(400,500)");
        QMouseEvent e(QEvent::MouseButtonDblClick, spot, vp->mapToGlobal(spot), Qt::LeftButton,
            Qt::LeftButton, {});
        QCoreApplication::sendEvent(vp, &e);
        release(vp, Qt::LeftButton, spot);
    } else {
        press(vp, Qt::LeftButton, spot);
        release(vp, Qt::LeftButton, sameSpot ? spot : spot + QPoint(30, 0));
    }
    QCOMPARE(view.selections.isEmpty(), !kept);
    QVERIFY(!view.selecting);
    // Moves after the release select nothing.
    move(vp, Qt::LeftButton, end);
    QCOMPARE(view.selections.isEmpty(), !kept);
}

void tst_QCustomPdfView::copy_data()
{
    QTest::addColumn<bool>("drag");
    QTest::addColumn<QPoint>("fromViewport"); // (-1, -1): the point (102, 196) on page 0
    QTest::addColumn<int>("toPage");
    QTest::addColumn<QPointF>("to");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("expectedPrefix"); // empty: the clipboard keeps what it had
    QTest::addColumn<int>("invalidSelections");
    const QPoint onAlpha(-1, -1);
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("one page") << true << onAlpha << 0 << QPointF(150, 196) << ctrl << "alpha w"
                              << 0;
    QTest::newRow("two pages, first page first")
        << true << onAlpha << 2 << QPointF(110, 296) << ctrl
        << "alpha words\r\nthe Omega\nStart here\r\nfi" << 0;
    QTest::newRow("ctrl+shift+c") << true << onAlpha << 0 << QPointF(150, 196)
                                  << int(Qt::ControlModifier | Qt::ShiftModifier) << QString() << 0;
    QTest::newRow("c alone") << true << onAlpha << 0 << QPointF(150, 196) << 0 << QString() << 0;
    QTest::newRow("no selection") << false << onAlpha << 0 << QPointF() << ctrl << QString() << 0;
    // Above page 0 is page -1, and page 0 from its top-left corner has no text there.
    QTest::newRow("only invalid selections")
        << true << QPoint(500, 2) << 0 << QPointF(150, 196) << ctrl << QString() << 2;
}

void tst_QCustomPdfView::copy()
{
    QFETCH(bool, drag);
    QFETCH(QPoint, fromViewport);
    QFETCH(int, toPage);
    QFETCH(QPointF, to);
    QFETCH(int, modifiers);
    QFETCH(QString, expectedPrefix);
    QFETCH(int, invalidSelections);
    QCustomPdfView view;
    setUpView(view, &three, QSize(1000, pageTop(3) + 8));
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText("sentinel");

    if (drag) {
        QWidget *vp = view.viewport();
        const QPoint from
            = fromViewport.x() < 0 ? viewportPoint(view, 0, { 102, 196 }) : fromViewport;
        press(vp, Qt::LeftButton, from);
        move(vp, Qt::LeftButton, viewportPoint(view, toPage, to));
        release(vp, Qt::LeftButton, viewportPoint(view, toPage, to));
    }
    for (int i = 0; i < invalidSelections; ++i)
        QTest::ignoreMessage(QtDebugMsg, "Invalid selection. No text to copy.");
    if (!expectedPrefix.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Text copied to clipboard: "));
    QTest::keyClick(&view, Qt::Key_C, Qt::KeyboardModifiers(modifiers));

    if (expectedPrefix.isEmpty())
        QCOMPARE(clipboard->text(), QString("sentinel"));
    else
        QVERIFY2(clipboard->text().startsWith(expectedPrefix), qPrintable(clipboard->text()));
}

void tst_QCustomPdfView::copiesTextOfARealDocument()
{
    const QString path = "/usr/share/doc/libtasn1-doc/libtasn1.pdf";
    QVERIFY2(QFile::exists(path), "scripts/setup installs libtasn1-doc");
    // Poppler, which QtPdf does not use, tells where the words of the title page's second line
    // lie; a drag over them must copy them.
    const auto reference = Poppler::Document::load(path);
    QVERIFY(reference);
    QStringList words;
    QRectF first, last;
    for (const auto &box : reference->page(0)->textList()) {
        if (box->text() == QLatin1String("Abstract"))
            first = box->boundingBox();
        if (!first.isNull() && words.size() < 20 && last.isNull()) {
            words.append(box->text());
            if (box->text() == QLatin1String("system"))
                last = box->boundingBox();
        }
    }
    QVERIFY(!first.isNull() && !last.isNull());
    const QString line = words.join(' ');
    QVERIFY2(line.startsWith("Abstract Syntax Notation One"), qPrintable(line));

    QPdfDocument doc;
    QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    QCustomPdfView view;
    setUpView(view, &doc, QSize(1000, 1100));
    QWidget *vp = view.viewport();
    const QPoint from = viewportPoint(view, 0, { first.left() + 2, first.center().y() });
    const QPoint to = viewportPoint(view, 0, { last.right() - 1, last.center().y() });
    press(vp, Qt::LeftButton, from);
    move(vp, Qt::LeftButton, to);
    release(vp, Qt::LeftButton, to);
    QGuiApplication::clipboard()->setText("sentinel");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Text copied to clipboard: "));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);

    const QString copied = QGuiApplication::clipboard()->text();
    QVERIFY2(
        copied.startsWith(line.chopped(2)) && copied.size() <= line.size(), qPrintable(copied));
}

void tst_QCustomPdfView::overlaysPaintOverTheirBoxes()
{
    QCustomPdfView view;
    setUpView(view, &three, QSize(1000, 1100));
    QPdfSearchModel model;
    model.setDocument(&three);
    model.setSearchString("alpha");
    view.setSearchResults(&model);
    QCOMPARE(view.searchResults.size(), 1);
    const QRectF hit = view.searchResults.first().rectangles().first();
    // QtPdf's boxes are tighter than the font's: a point or two.
    const QRectF alpha = threeBoxes[0];
    QVERIFY(qAbs(hit.left() - alpha.left()) < 2 && qAbs(hit.top() - alpha.top()) < 3);

    const QRectF chunk(300, 500, 100, 40);
    view.setHighlight(Chunk("doc", 0, chunk.x(), chunk.y(), chunk.width(), chunk.height()));
    QWidget *vp = view.viewport();
    press(vp, Qt::LeftButton, viewportPoint(view, 0, { 556, 786 }));
    move(vp, Qt::LeftButton, viewportPoint(view, 0, { 608, 786 }));
    release(vp, Qt::LeftButton, viewportPoint(view, 0, { 608, 786 }));
    QVERIFY(view.selections.contains(0));
    QVERIFY(view.selections.constFind(0)->isValid());
    const QRectF selected = view.selections.constFind(0)->boundingRectangle();

    const auto pixel = [&](const QImage &image, const QPointF &points) {
        return image.pixel(viewportPoint(view, 0, points));
    };
    QImage image = vp->grab().toImage();
    QVERIFY(isBluish(pixel(image, hit.center())));
    QVERIFY(isBluish(pixel(image, chunk.center())));
    QVERIFY(isBluish(pixel(image, selected.center())));
    QVERIFY(!isBluish(pixel(image, { 300, 300 })));
    QVERIFY(!isBluish(pixel(image, { 20, 196 })));
    // The link's underline runs along its bottom edge, in red.
    const QRgb underline = pixel(image, { 160, 613.5 });
    QVERIFY2(qRed(underline) > 200 && qGreen(underline) < 80 && qBlue(underline) < 80,
        qPrintable(QColor(underline).name()));

    // A chunk highlight on a search hit is filled over it: the blue is deeper.
    view.setHighlight(Chunk("doc", 0, hit.x(), hit.y(), hit.width(), hit.height()));
    image = vp->grab().toImage();
    QVERIFY(qRed(pixel(image, hit.center())) < 120);

    view.clearHighlights();
    image = vp->grab().toImage();
    QVERIFY(!isBluish(pixel(image, chunk.center())));
    QVERIFY(isBluish(pixel(image, hit.center())));
    QVERIFY(isBluish(pixel(image, selected.center())));
}

void tst_QCustomPdfView::textGeometryLandsOnText_data()
{
    QTest::addColumn<QRectF>("cropBox");
    QTest::newRow("plain page") << QRectF();
    QTest::newRow("cropped page") << QRectF(100, 150, 400, 500);
}

void tst_QCustomPdfView::textGeometryLandsOnText()
{
    QFETCH(QRectF, cropBox);
    TestPdf pdf;
    pdf.addPage(QSizeF(612, 792));
    if (!cropBox.isNull())
        pdf.setCropBox(0, cropBox);
    const QRectF needle = pdf.addText(0, { 50, 100 }, "needle");
    pdf.addText(0, { 120, 100 }, "haystack");
    pdf.addLink(0, QRectF(50, 200, 100, 20), "https://example.invalid/");
    const QString path = dir.filePath(QString("geometry-%1.pdf").arg(QTest::currentDataTag()));
    QVERIFY(pdf.write(path));
    QPdfDocument doc;
    doc.setProperty("sourceFile", path);
    QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    QCustomPdfView view;
    setUpView(view, &doc, QSize(1000, 800));

    QPdfSearchModel model;
    model.setDocument(&doc);
    model.setSearchString("needle");
    view.setSearchResults(&model);
    QCOMPARE(view.searchResults.size(), 1);
    const QRectF hit = view.textRectOnPage(0, view.searchResults.first().rectangles().first());
    QVERIFY2(qAbs(hit.left() - needle.left()) < 2 && qAbs(hit.top() - needle.top()) < 3
            && qAbs(hit.right() - needle.right()) < 2,
        qPrintable(QString("hit at %1,%2").arg(hit.left()).arg(hit.top())));

    QWidget *vp = view.viewport();
    const QPoint from = viewportPoint(view, 0, { needle.left() + 1, needle.center().y() });
    const QPoint to = viewportPoint(view, 0, { needle.right() - 1, needle.center().y() });
    press(vp, Qt::LeftButton, from);
    move(vp, Qt::LeftButton, to);
    release(vp, Qt::LeftButton, to);
    QVERIFY(view.selections.contains(0));
    const QPdfSelection selection = view.selections.constFind(0).value();
    QVERIFY2(selection.text().startsWith("needl") && !selection.text().contains("hay"),
        qPrintable(selection.text()));
    const QRectF selected = view.textRectOnPage(0, selection.boundingRectangle());
    QVERIFY(qAbs(selected.left() - needle.left()) < 2 && qAbs(selected.top() - needle.top()) < 3);

    // Links come from poppler, which measures from the shown page already.
    PdfLinkModel links;
    links.setDocument(&doc);
    QCOMPARE(links.rowCount(), 1);
    const QRectF link = links.index(0).data(int(PdfLinkModel::Role::Rectangle)).toRectF();
    QVERIFY2(qAbs(link.left() - 50) < 1 && qAbs(link.top() - 200) < 1
            && qAbs(link.width() - 100) < 1 && qAbs(link.height() - 20) < 1,
        qPrintable(QString("link at %1,%2").arg(link.left()).arg(link.top())));
}

void tst_QCustomPdfView::overlaysLandOnTheDrawnPages_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<int>("wheelSteps"); // Ctrl+wheel steps in once the view is shown
    const int custom = int(QPdfView::ZoomMode::Custom);
    QTest::newRow("zoom 0.5") << custom << 0.5 << 0;
    QTest::newRow("zoom 1") << custom << 1.0 << 0;
    QTest::newRow("zoom 2") << custom << 2.0 << 0;
    QTest::newRow("zoom 3") << custom << 3.0 << 0;
    // Both pages fit at 0.3; at 0.5 the vertical scroll bar comes and narrows the viewport.
    QTest::newRow("wheel until a scroll bar shows") << custom << 0.3 << 2;
    // The fit modes keep the zoom factor they had; it must not matter.
    QTest::newRow("fit to width") << int(QPdfView::ZoomMode::FitToWidth) << 2.0 << 0;
    QTest::newRow("fit in view") << int(QPdfView::ZoomMode::FitInView) << 2.0 << 0;
}

void tst_QCustomPdfView::overlaysLandOnTheDrawnPages()
{
    QFETCH(int, mode);
    QFETCH(double, zoom);
    QFETCH(int, wheelSteps);
    TestPdf pdf;
    pdf.addPage(QSizeF(612, 792));
    pdf.addPage(QSizeF(612, 792));
    const QRectF word = pdf.addText(1, { 300, 420 }, "Landmark");
    const QString path = dir.filePath("two.pdf");
    QVERIFY(pdf.write(path));
    QPdfDocument doc;
    QCOMPARE(doc.load(path), QPdfDocument::Error::None);

    QCustomPdfView view;
    view.setZoomMode(QPdfView::ZoomMode(mode));
    view.setZoomFactor(zoom);
    setUpView(view, &doc, QSize(900, 700));
    for (int i = 0; i < wheelSteps; ++i) {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Zooming in"));
        sendWheel(view.viewport(), QPoint(0, 120), Qt::ControlModifier);
    }
    view.setHighlight(Chunk(path, 1, word.x(), word.y(), word.width(), word.height()));
    QWidget *vp = view.viewport();
    QScrollBar *horizontal = view.horizontalScrollBar();
    QScrollBar *vertical = view.verticalScrollBar();

    // Each page edge QPdfView draws, found where page white meets its background, must be the
    // edge of the page's rectangle, seen through the scroll offsets.
    QRgb background = 0;
    int measured = 0;
    const auto checkEdges = [&](const QString &where, QList<int> pages) {
        const QImage image = vp->grab().toImage();
        const QPoint scroll(horizontal->value(), vertical->value());
        if (!background)
            background = image.pixel(1, 1);
        for (const int page : pages) {
            const QRect rect = view.pageGeometries.value(page).translated(-scroll);
            const QRect shown = rect & image.rect();
            QVERIFY2(!shown.isEmpty(), qPrintable(where));
            const int midX = shown.center().x(), midY = shown.center().y();
            struct Edge
            {
                const char *name;
                int expected;
                QPoint inside, step;
            };
            const Edge edges[] = {
                { "top", rect.top(), { midX, rect.top() + 4 }, { 0, -1 } },
                { "bottom", rect.bottom(), { midX, rect.bottom() - 4 }, { 0, 1 } },
                { "left", rect.left(), { rect.left() + 4, midY }, { -1, 0 } },
                { "right", rect.right(), { rect.right() - 4, midY }, { 1, 0 } },
            };
            for (const Edge &edge : edges) {
                // An edge scrolled out of sight (or onto the border) is not measured.
                const int limit = edge.step.x() ? image.width() : image.height();
                if (edge.expected < 1 || edge.expected > limit - 2
                    || !image.rect().contains(edge.inside))
                    continue;
                ++measured;
                const int drawn = drawnEdge(image, background, edge.inside, edge.step, 40);
                QVERIFY2(drawn >= 0 && qAbs(drawn - edge.expected) <= 1,
                    qPrintable(QString("%1: page %2 %3 edge drawn at %4, laid out at %5")
                                   .arg(where)
                                   .arg(page)
                                   .arg(edge.name)
                                   .arg(drawn)
                                   .arg(edge.expected)));
            }
        }
    };
    horizontal->setValue(0);
    vertical->setValue(0);
    checkEdges("top-left", { 0 });
    if (QTest::currentTestFailed())
        return;
    QVERIFY(background != qRgb(255, 255, 255));
    horizontal->setValue(horizontal->maximum());
    vertical->setValue(view.pageGeometries.value(1).top() - vp->height() / 2);
    checkEdges("between the pages, right", { 0, 1 });
    if (QTest::currentTestFailed())
        return;
    // Top and left of page 0; its bottom, page 1's top and the right edges of both.
    QVERIFY2(measured >= 6, qPrintable(QString::number(measured)));

    // The word's ink, once rendered, lies under its highlight: none of it is left uncovered.
    // It is the only text in sight, so the whole viewport is searched.
    const QRect mark = view.toDocumentPixels(1, word);
    horizontal->setValue(mark.left() - 200);
    vertical->setValue(mark.top() - 200);
    QImage image;
    int covered = 0, uncovered = 0;
    const auto countInk = [&]() {
        image = vp->grab().toImage();
        covered = uncovered = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb c = image.pixel(x, y);
                if (isInk(c))
                    ++(isBluish(c) ? covered : uncovered);
            }
        }
        return covered + uncovered;
    };
    QTRY_VERIFY_WITH_TIMEOUT(countInk() > 20, 10000);
    const QString out = qEnvironmentVariable("QUORVANE_TEST_OUTPUT", QDir::tempPath());
    QDir().mkpath(out);
    const QString tag = QString(QTest::currentDataTag()).replace(' ', '-');
    QVERIFY(image.save(out
        + QString("/qcustompdfview-landmark-%1-%2.png").arg(QGuiApplication::platformName(), tag)));
    QVERIFY2(uncovered == 0,
        qPrintable(QString("%1 of %2 ink pixels outside the highlight")
                       .arg(uncovered)
                       .arg(covered + uncovered)));

    // A drag along the drawn word selects it.
    const QPoint scroll(horizontal->value(), vertical->value());
    const auto onScreen = [&](qreal x) {
        return view.toDocumentPixels(1, QRectF(x, word.center().y(), 0, 0)).topLeft() - scroll;
    };
    const QPoint from = onScreen(word.left() + 2);
    const QPoint to = onScreen(word.right() - 2);
    press(vp, Qt::LeftButton, from);
    move(vp, Qt::LeftButton, to);
    release(vp, Qt::LeftButton, to);
    QVERIFY(view.selections.contains(1));
    const QString selected = view.selections.constFind(1)->text();
    QVERIFY2(selected.startsWith("Landmar"), qPrintable(selected));
}

QTEST_MAIN(tst_QCustomPdfView)
#include "tst_qcustompdfview.moc"
