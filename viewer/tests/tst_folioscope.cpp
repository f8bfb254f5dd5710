#include "testpdf.h"

#include <folioscope/folioscope.h>

#include <QClipboard>
#include <QDir>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QPdfView>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

static bool isBluish(QRgb c)
{
    return qBlue(c) - qRed(c) > 50 && qBlue(c) - qGreen(c) > 50;
}

static bool isInk(QRgb c)
{
    return qRed(c) < 110 && qGreen(c) < 110;
}

class tst_Folioscope : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void freshWindow();
    void resizesToTheFirstPage_data();
    void resizesToTheFirstPage();
    void searchHighlightsScrollToTheHit_data();
    void searchHighlightsScrollToTheHit();
    void closing_data();
    void closing();
    void openingAnotherDocumentDropsTheOldText_data();
    void openingAnotherDocumentDropsTheOldText();
    void anotherDocumentOpensAtItsFirstPage_data();
    void anotherDocumentOpensAtItsFirstPage();
    void overlayChangesShowWithoutAScroll_data();
    void overlayChangesShowWithoutAScroll();
    void screenshotShowsOverlaysOnTheirText();

private:
    double r() const { return dpi / 72; }
    int pageTop(int page) const { return int(6 * r()) + page * (qRound(792 * r()) + 3); }
    // The document width the layout gives pages of this many points at zoom 1.
    int documentWidth(double pageWidth) const { return qRound(pageWidth * r()) + int(12 * r()); }
    static QPdfView *viewOf(Folioscope &window) { return window.findChild<QPdfView *>(); }
    void showAndWait(Folioscope &window);
    // Opens the document in a window of 900 by 700 and shows it.
    void openAndShow(Folioscope &window, QPdfDocument *document);
    // Where the view draws the top-left corner of page 0 of a Letter document, in window pixels.
    QPoint pageCorner(Folioscope &window) const;
    // A rectangle in points on page 0, in window pixels.
    QRect toWindow(Folioscope &window, const QRectF &points) const;

    QTemporaryDir dir;
    double dpi = 0;
    QString letterPages; // five US-letter pages with "needle" on pages 0 and 4
    QRectF needleLine; // its words on page 0
    QString a4Page;
};

void tst_Folioscope::initTestCase()
{
    QVERIFY(dir.isValid());
    dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        QCOMPARE(dpi, 96.0);

    TestPdf letter;
    for (int i = 0; i < 5; ++i)
        letter.addPage(QSizeF(612, 792));
    needleLine = letter.addText(0, { 72, 400 }, "needle and another needle");
    letter.addText(4, { 72, 100 }, "the last needle");
    letterPages = dir.filePath("letter.pdf");
    QVERIFY(letter.write(letterPages));

    TestPdf a4;
    a4.addPage(QSizeF(595.276, 841.89));
    a4.addText(0, { 72, 72 }, "an A4 page");
    a4Page = dir.filePath("a4.pdf");
    QVERIFY(a4.write(a4Page));
}

void tst_Folioscope::showAndWait(Folioscope &window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

void tst_Folioscope::openAndShow(Folioscope &window, QPdfDocument *document)
{
    window.open(document);
    window.resize(900, 700);
    showAndWait(window);
}

QPoint tst_Folioscope::pageCorner(Folioscope &window) const
{
    QPdfView *view = viewOf(window);
    const int pageWidth = qRound(612 * r());
    return view->viewport()->mapTo(&window, QPoint(0, 0))
        + QPoint((qMax(documentWidth(612), view->viewport()->width()) - pageWidth) / 2, pageTop(0))
        - QPoint(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value());
}

QRect tst_Folioscope::toWindow(Folioscope &window, const QRectF &points) const
{
    const QPoint corner = pageCorner(window);
    return QRectF(corner.x() + points.x() * r(), corner.y() + points.y() * r(),
        points.width() * r(), points.height() * r())
        .toRect();
}

void tst_Folioscope::freshWindow()
{
    Folioscope window;
    QCOMPARE(window.size(), QSize(398, 308));
    QCOMPARE(window.windowTitle(), QString("Form"));
    QCOMPARE(window.objectName(), QString("Folioscope"));
    QVERIFY(window.isWindow());
    QVERIFY(!window.isVisible());
    QPdfView *view = viewOf(window);
    QVERIFY(view);
    QCOMPARE(view->pageMode(), QPdfView::PageMode::MultiPage);
    QCOMPARE(view->document(), nullptr);

    showAndWait(window);
    QCOMPARE(view->geometry(), window.rect());
    window.resize(640, 480);
    QCOMPARE(view->geometry(), QRect(0, 0, 640, 480));
}

void tst_Folioscope::resizesToTheFirstPage_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSizeF>("points"); // of the first page
    QTest::addColumn<double>("widest"); // page width in points
    QTest::addColumn<QSize>("expected96");
    QTest::newRow("A4") << a4Page << QSizeF(595.276, 841.89) << 595.276 << QSize(826, 1135);
    QTest::newRow("US letter") << letterPages << QSizeF(612, 792) << 612.0 << QSize(848, 1068);
    TestPdf wider;
    wider.addPage(QSizeF(612, 792));
    wider.addPage(QSizeF(792, 612));
    const QString widerPages = dir.filePath("wider.pdf");
    QVERIFY(wider.write(widerPages));
    QTest::newRow("a wider page later")
        << widerPages << QSizeF(612, 792) << 792.0 << QSize(1088, 1068);
    QTest::newRow("no pages") << dir.filePath("missing.pdf") << QSizeF() << 0.0 << QSize(300, 400);
}

// The window takes the height of the first page with its margins, and the width of the widest
// page with its margins beside the vertical scroll bar: at zoom 1 the whole page shows, with no
// horizontal scroll bar.
void tst_Folioscope::resizesToTheFirstPage()
{
    QFETCH(QString, file);
    QFETCH(QSizeF, points);
    QFETCH(double, widest);
    QFETCH(QSize, expected96);
    QPdfDocument doc;
    doc.load(file);
    Folioscope window;
    window.setCursor(Qt::WaitCursor);
    window.open(&doc);

    QPdfView *view = viewOf(window);
    const int bar = view->verticalScrollBar()->sizeHint().width();
    const QSize expected = points.isEmpty()
        ? QSize(300, 400)
        : QSize(documentWidth(widest) + bar + 2 * view->frameWidth(),
            qRound(points.height() * r()) + 12);
    QCOMPARE(window.size(), expected);
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(view->document(), &doc);
    showAndWait(window);
    QCOMPARE(view->geometry(), window.rect());
    if (!points.isEmpty()) {
        QVERIFY(view->verticalScrollBar()->isVisible());
        QVERIFY(!view->horizontalScrollBar()->isVisible());
        QCOMPARE(view->viewport()->width(), documentWidth(widest));
    }

    if (dpi != 96)
        QSKIP("the 96 DPI numbers are checked under Xvfb");
    QCOMPARE(expected, expected96);
}

void tst_Folioscope::searchHighlightsScrollToTheHit_data()
{
    QTest::addColumn<bool>("withModel");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("page"); // -1: no scroll
    QTest::newRow("first hit on page 0") << true << 0 << 0;
    QTest::newRow("hit on page 4") << true << 2 << 4;
    QTest::newRow("index -1") << true << -1 << -1;
    QTest::newRow("index past the hits") << true << 99 << -1;
    QTest::newRow("no model") << false << 0 << -1;
}

void tst_Folioscope::searchHighlightsScrollToTheHit()
{
    QFETCH(bool, withModel);
    QFETCH(int, index);
    QFETCH(int, page);
    QPdfDocument doc;
    QCOMPARE(doc.load(letterPages), QPdfDocument::Error::None);
    QPdfSearchModel model;
    model.setDocument(&doc);
    model.setSearchString("needle");
    QTRY_COMPARE(model.rowCount(QModelIndex()), 3);

    Folioscope window;
    openAndShow(window, &doc);
    QScrollBar *bar = viewOf(window)->verticalScrollBar();
    bar->setValue(100);
    QCOMPARE(bar->value(), 100);

    window.setSearchHighlights(withModel ? &model : nullptr, index);
    int expected = 100;
    if (page >= 0) {
        const QPdfLink hit = model.resultAtIndex(index);
        QCOMPARE(hit.page(), page);
        expected = qRound(pageTop(page) + hit.rectangles().first().top() * r());
    }
    QCOMPARE(bar->value(), expected);
}

void tst_Folioscope::closing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("staysOpen");
    QTest::newRow("closeDocument with the shown document") << "shown" << false;
    QTest::newRow("closeDocument with another document") << "other" << true;
    QTest::newRow("closeDocument with none") << "null" << true;
    QTest::newRow("closeOpenDocument") << "any" << false;
}

void tst_Folioscope::closing()
{
    QFETCH(QString, how);
    QFETCH(bool, staysOpen);
    QPdfDocument doc;
    QCOMPARE(doc.load(letterPages), QPdfDocument::Error::None);
    QPdfDocument other;
    QCOMPARE(other.load(a4Page), QPdfDocument::Error::None);
    Folioscope window;
    openAndShow(window, &doc);
    window.setHighlight(Chunk("doc", 1, 72, 144, 200, 20));

    if (how == "shown")
        window.closeDocument(&doc);
    else if (how == "other")
        window.closeDocument(&other);
    else if (how == "null")
        window.closeDocument(nullptr);
    else
        window.closeOpenDocument();
    QCOMPARE(window.isVisible(), staysOpen);
    // Closing only hides: the document stays in the view.
    QCOMPARE(viewOf(window)->document(), &doc);

    // The highlight is still there exactly when the window stayed open.
    showAndWait(window);
    QScrollBar *bar = viewOf(window)->verticalScrollBar();
    bar->setValue(0);
    window.jumpToHighlights();
    QCOMPARE(bar->value() > 0, staysOpen);
}

void tst_Folioscope::openingAnotherDocumentDropsTheOldText_data()
{
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("kept");
    QTest::newRow("another document opened") << "other" << false;
    QTest::newRow("the same document opened again") << "same" << true;
    QTest::newRow("the document deleted") << "deleted" << false;
}

// Search hits and selections belong to the document they were made on: they are neither drawn
// over another one nor copied once their document is gone.
void tst_Folioscope::openingAnotherDocumentDropsTheOldText()
{
    QFETCH(QString, then);
    QFETCH(bool, kept);
    auto *doc = new QPdfDocument(this);
    QCOMPARE(doc->load(letterPages), QPdfDocument::Error::None);
    QPdfSearchModel model;
    model.setDocument(doc);
    model.setSearchString("needle");
    QTRY_COMPARE(model.rowCount(QModelIndex()), 3);
    QPdfDocument other;
    QCOMPARE(other.load(a4Page), QPdfDocument::Error::None);

    Folioscope window;
    openAndShow(window, doc);
    window.setSearchHighlights(&model, 0);
    QPdfView *view = viewOf(window);
    QWidget *viewport = view->viewport();
    const QPointF corner((qMax(documentWidth(612), viewport->width()) - qRound(612 * r())) / 2
            - view->horizontalScrollBar()->value(),
        pageTop(0) - view->verticalScrollBar()->value());
    // A drag over "another" on page 0.
    const double y = needleLine.center().y();
    const double x = needleLine.left() + TestPdf::textWidth("needle and ", 12);
    const QPoint from = (corner + QPointF(x + 1, y) * r()).toPoint();
    const QPoint to
        = (corner + QPointF(x + TestPdf::textWidth("another", 12) - 1, y) * r()).toPoint();
    QTest::mousePress(viewport, Qt::LeftButton, {}, from);
    QTest::mouseMove(viewport, to);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, to);
    QClipboard *clipboard = QGuiApplication::clipboard();
    const auto copy = [&]() {
        clipboard->setText("sentinel");
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        return clipboard->text();
    };
    const auto blueShows = [&]() {
        const QImage image = viewport->grab().toImage();
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (isBluish(image.pixel(x, y)))
                    return true;
        return false;
    };
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Text copied to clipboard: \"anothe"));
    QVERIFY(copy().startsWith("anothe"));
    QVERIFY(blueShows());

    if (then == "other") {
        window.open(&other);
    } else if (then == "same") {
        window.open(doc);
    } else {
        delete doc;
        QCOMPARE(view->document(), nullptr);
    }
    if (kept)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Text copied to clipboard: \"anothe"));
    QCOMPARE(copy().startsWith("anothe"), kept);
    QCOMPARE(blueShows(), kept);
    if (then != "deleted")
        delete doc;
}

void tst_Folioscope::anotherDocumentOpensAtItsFirstPage_data()
{
    QTest::addColumn<bool>("another");
    QTest::newRow("another document") << true;
    QTest::newRow("the document shown") << false;
}

void tst_Folioscope::anotherDocumentOpensAtItsFirstPage()
{
    QFETCH(bool, another);
    QPdfDocument doc;
    QCOMPARE(doc.load(letterPages), QPdfDocument::Error::None);
    // The same file in a document of its own is another document to the view.
    QPdfDocument other;
    QCOMPARE(other.load(letterPages), QPdfDocument::Error::None);
    Folioscope window;
    openAndShow(window, &doc);
    QScrollBar *bar = viewOf(window)->verticalScrollBar();
    bar->setValue(pageTop(3));
    QCOMPARE(bar->value(), pageTop(3));

    window.open(another ? &other : &doc);
    QCOMPARE(bar->value(), another ? 0 : pageTop(3));
    QCOMPARE(viewOf(window)->horizontalScrollBar()->value(), 0);
}

void tst_Folioscope::overlayChangesShowWithoutAScroll_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QRectF>("area"); // in points on page 0
    QTest::addColumn<bool>("blueAfter");
    // Two passages from the same spot: the second needs no scroll, only a paint.
    const QRectF belowShort(80, 175, 280, 30);
    QTest::newRow("a longer passage from the same start")
        << "short" << "long" << belowShort << true;
    QTest::newRow("a shorter passage from the same start")
        << "long" << "short" << belowShort << false;
    QTest::newRow("highlight cleared") << "short" << "clear" << QRectF(80, 152, 280, 16) << false;
    QTest::newRow("search hits shown") << "" << "hits" << QRectF() << true;
    QTest::newRow("search hits dropped") << "hits" << "nohits" << QRectF() << false;
}

// What the view shows on screen, not a fresh rendering: only a paint the view asked for
// changes it. The window lies where the windows of other tests sharing the display do not.
void tst_Folioscope::overlayChangesShowWithoutAScroll()
{
    QFETCH(QString, before);
    QFETCH(QString, change);
    QFETCH(QRectF, area);
    QFETCH(bool, blueAfter);
    QPdfDocument doc;
    QCOMPARE(doc.load(letterPages), QPdfDocument::Error::None);
    QPdfSearchModel model;
    model.setDocument(&doc);
    model.setSearchString("needle");
    QTRY_COMPARE(model.rowCount(QModelIndex()), 3);
    if (area.isEmpty()) {
        // Inside the first hit, clear of its rounded edges.
        area = model.resultAtIndex(0).rectangles().first().adjusted(2, 2, -2, -2);
    }

    Folioscope window;
    window.move(1060, 60);
    // As the program does it: a reference highlights, opens, shows and jumps; a search hit opens
    // and then sets the hits.
    const auto apply = [&](const QString &step) {
        if (step == "short" || step == "long")
            window.setHighlight(Chunk(letterPages, 0, 72, 150, 300, step == "short" ? 20 : 60));
        else if (step == "clear")
            window.clearHighlights();
        window.open(&doc);
        if (step == "hits" || step == "nohits")
            window.setSearchHighlights(step == "hits" ? &model : nullptr, -1);
        window.show();
        window.jumpToHighlights();
    };
    const auto onScreen = [&]() {
        return window.screen()->grabWindow(window.winId()).toImage().convertToFormat(
            QImage::Format_RGB32);
    };
    const auto blueShare = [&](const QImage &shot, const QRect &box) {
        int blue = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                blue += shot.rect().contains(x, y) && isBluish(shot.pixel(x, y));
        return double(blue) / (box.width() * box.height());
    };
    const auto shows = [&](bool blue) {
        const QImage shot = onScreen();
        const double share = blueShare(shot, toWindow(window, area));
        return blue ? share > 0.9 : share < 0.05;
    };

    apply(before);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The pages are drawn, so no late page paints the change for the view.
    const QRect textLine = toWindow(window, needleLine);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QImage shot = onScreen();
            int ink = 0;
            for (int y = textLine.top(); y <= textLine.bottom(); ++y)
                for (int x = textLine.left(); x <= textLine.right(); ++x)
                    ink += shot.rect().contains(x, y) && isInk(shot.pixel(x, y));
            return ink > 50 && shows(!blueAfter);
        }(),
        10000);
    const int scrolled = viewOf(window)->verticalScrollBar()->value();

    apply(change);
    QCOMPARE(viewOf(window)->verticalScrollBar()->value(), scrolled);
    QTRY_VERIFY(shows(blueAfter));
    const QString out = qEnvironmentVariable("QUORVANE_TEST_OUTPUT", QDir::tempPath());
    QDir().mkpath(out);
    QVERIFY(onScreen().save(out
        + QString("/folioscope-%1-%2.png").arg(change, QGuiApplication::platformName())));
}

void tst_Folioscope::screenshotShowsOverlaysOnTheirText()
{
    TestPdf pdf;
    pdf.addPage(QSizeF(612, 792));
    pdf.addText(0, { 72, 90 }, "Quarterly report", 20);
    const QRectF first = pdf.addText(0, { 72, 160 }, "The harvest was late this year.");
    const QRectF second = pdf.addText(0, { 72, 180 }, "A late frost took the early blossoms,");
    pdf.addText(0, { 72, 200 }, "and the orchards gave less fruit.");
    const QRectF third = pdf.addText(0, { 72, 260 }, "Next year we plant sooner.");
    const QString path = dir.filePath("screenshot.pdf");
    QVERIFY(pdf.write(path));
    QPdfDocument doc;
    QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    QPdfSearchModel model;
    model.setDocument(&doc);
    model.setSearchString("late");
    QTRY_COMPARE(model.rowCount(QModelIndex()), 2);

    Folioscope window;
    window.setWindowTitle("screenshot.pdf");
    // A chunk as scrivex reports it: the box of the second and third lines.
    const QRectF chunk = second.united(QRectF(72, 200 - 8.616, 200, 11.1));
    window.setHighlight(Chunk(path, 0, chunk.x(), chunk.y(), chunk.width(), chunk.height()));
    window.open(&doc);
    showAndWait(window);
    window.setSearchHighlights(&model, 0);
    window.jumpToHighlights();

    // The boxes the overlays must cover, in window pixels, by the view's layout rules.
    const double s = r();
    const int pageWidth = qRound(612 * s);
    const QPoint corner = pageCorner(window);
    QList<QRect> boxes { toWindow(window, chunk) };
    for (int i = 0; i < 2; ++i)
        boxes.append(toWindow(window, model.resultAtIndex(i).rectangles().first()));
    // "late" stands in the first line and in the second, which the chunk covers too.
    QVERIFY(first.contains(model.resultAtIndex(0).rectangles().first().center()));
    QVERIFY(second.contains(model.resultAtIndex(1).rectangles().first().center()));

    // The window's own rendering: a grab of the screen would also catch the windows of other
    // tests sharing the display, which may lie over this one.
    const auto shoot = [&]() { return window.grab().toImage(); };
    // Pages render in the background: wait until the last line's ink shows.
    const QRect lastLine = toWindow(window, third);
    const auto inkIn = [](const QImage &image, const QRect &area) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                n += isInk(image.pixel(x, y));
        return n;
    };
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT((shot = shoot(), inkIn(shot, lastLine) > 50), 10000);
    QCOMPARE(shot.size(), window.size());
    const QString out = qEnvironmentVariable("QUORVANE_TEST_OUTPUT", QDir::tempPath());
    QDir().mkpath(out);
    const QString file
        = out + QString("/folioscope-overlays-%1.png").arg(QGuiApplication::platformName());
    QVERIFY(shot.save(file));
    qInfo("screenshot: %s", qPrintable(file));

    // Translucent blue lies inside the boxes and nowhere else on the page; one pixel of slack
    // for the rounding at their edges.
    const QRect page = QRect(corner, QSize(pageWidth, qRound(792 * s))) & shot.rect();
    int strayBlue = 0;
    QList<int> covered(boxes.size()), area(boxes.size());
    for (int y = page.top(); y <= page.bottom(); ++y) {
        for (int x = page.left(); x <= page.right(); ++x) {
            const bool blue = isBluish(shot.pixel(x, y));
            bool inside = false;
            for (int i = 0; i < boxes.size(); ++i) {
                if (boxes[i].contains(x, y)) {
                    ++area[i];
                    covered[i] += blue;
                }
                inside = inside || boxes[i].adjusted(-1, -1, 1, 1).contains(x, y);
            }
            strayBlue += blue && !inside;
        }
    }
    QCOMPARE(strayBlue, 0);
    for (int i = 0; i < boxes.size(); ++i)
        QVERIFY2(covered[i] >= area[i] * 0.98, qPrintable(QString::number(i)));

    // Where the text is: the ink of each hit's word lies under blue.
    for (int i = 1; i < boxes.size(); ++i) {
        const QRect word = boxes[i];
        int ink = 0, inkUnderBlue = 0;
        for (int y = word.top() - 6; y <= word.bottom() + 6; ++y) {
            for (int x = word.left() + 1; x < word.right(); ++x) {
                const QRgb c = shot.pixel(x, y);
                if (isInk(c)) {
                    ++ink;
                    inkUnderBlue += isBluish(c);
                }
            }
        }
        QVERIFY(ink > 20);
        QVERIFY2(inkUnderBlue >= ink * 0.85,
            qPrintable(QString("%1 of %2 ink pixels of hit %3 under blue")
                           .arg(inkUnderBlue)
                           .arg(ink)
                           .arg(i)));
    }
}

QTEST_MAIN(tst_Folioscope)
#include "tst_folioscope.moc"
