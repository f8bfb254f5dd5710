#include "scrivex/tests/testpdf.h"

#include <folioscope/folioscope.h>

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QPdfView>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <poppler-document.h>
#include <poppler-page.h>

#include <memory>

namespace {

// The boxes of a page's words as poppler measures them: points from the top-left corner of the
// page as it is drawn, whatever its crop box and rotation.
QHash<QString, QRectF> popplerWords(const QString &path, int page)
{
    QHash<QString, QRectF> words;
    const std::unique_ptr<poppler::document> doc(
        poppler::document::load_from_file(path.toStdString()));
    if (!doc)
        return words;
    const std::unique_ptr<poppler::page> p(doc->create_page(page));
    for (const poppler::text_box &box : p->text_list()) {
        const poppler::rectf b = box.bbox();
        words.insert(QString::fromStdString(box.text().to_latin1()),
            QRectF(b.x(), b.y(), b.width(), b.height()));
    }
    return words;
}

bool isBluish(QRgb c)
{
    return qBlue(c) - qRed(c) > 50 && qBlue(c) - qGreen(c) > 50;
}

bool isInk(QRgb c)
{
    return qRed(c) < 110 && qGreen(c) < 110;
}

} // namespace

// Search hits and selections on cropped and rotated pages, seen in the real window: the blue
// must lie on the words poppler finds there, and a drag along a word must copy that word.
class tst_PdfTextFrames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hitsAndSelectionsLandOnTheirWords_data();
    void hitsAndSelectionsLandOnTheirWords();

private:
    QTemporaryDir dir;
    double r = 0;
};

void tst_PdfTextFrames::initTestCase()
{
    QVERIFY(dir.isValid());
    const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        QCOMPARE(dpi, 96.0);
    r = dpi / 72;
}

void tst_PdfTextFrames::hitsAndSelectionsLandOnTheirWords_data()
{
    QTest::addColumn<int>("rotate");
    QTest::addColumn<QRectF>("cropBox");
    QTest::addColumn<QPointF>("reading"); // the direction the text runs on the shown page
    // Loaded from the bytes the owner gives, the file deleted afterwards.
    QTest::addColumn<bool>("fromMemory");
    const QRectF uncropped;
    const QRectF cropped(40, 380, 520, 380);
    QTest::newRow("rotate 90") << 90 << uncropped << QPointF(0, 1) << false;
    QTest::newRow("rotate 180") << 180 << uncropped << QPointF(-1, 0) << false;
    QTest::newRow("rotate 270") << 270 << uncropped << QPointF(0, -1) << false;
    QTest::newRow("rotate 90, cropped") << 90 << cropped << QPointF(0, 1) << false;
    QTest::newRow("rotate 270, cropped") << 270 << cropped << QPointF(0, -1) << false;
    QTest::newRow("upright, cropped") << 0 << cropped << QPointF(1, 0) << false;
    QTest::newRow("rotate 90, cropped, from memory") << 90 << cropped << QPointF(0, 1) << true;
}

void tst_PdfTextFrames::hitsAndSelectionsLandOnTheirWords()
{
    QFETCH(int, rotate);
    QFETCH(QRectF, cropBox);
    QFETCH(QPointF, reading);
    QFETCH(bool, fromMemory);
    // The turned page between upright ones, as in a book with a wide table: a click on the hit
    // must scroll to it.
    TestPdf pdf;
    TestPdf::Page upright;
    upright.content = TestPdf::lines(100, 650, 12, 14, { "upright filler" });
    TestPdf::Page page;
    page.rotate = rotate;
    page.cropBox = cropBox;
    page.content = TestPdf::lines(100, 650, 12, 14, { "needle haystack" });
    pdf.addPage(upright);
    pdf.addPage(page);
    pdf.addPage(upright);
    pdf.addPage(upright);
    const QString tag = QString(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "-");
    const QString path = dir.filePath(tag + ".pdf");
    QVERIFY(pdf.save(path));
    const QHash<QString, QRectF> words = popplerWords(path, 1);
    const QRectF needle = words.value("needle");
    const QRectF haystack = words.value("haystack");
    QVERIFY(!needle.isEmpty() && !haystack.isEmpty());

    QPdfDocument doc;
    QFile written(path);
    QBuffer bytes;
    if (fromMemory) {
        QVERIFY(written.open(QIODevice::ReadOnly));
        bytes.setData(written.readAll());
        written.close();
        QVERIFY(written.remove());
        QVERIFY(bytes.open(QIODevice::ReadOnly));
        doc.setProperty(Folioscope::SourceDataProperty, bytes.data());
        doc.load(&bytes);
        QCOMPARE(doc.status(), QPdfDocument::Status::Ready);
    } else {
        doc.setProperty(Folioscope::SourceFileProperty, path);
        QCOMPARE(doc.load(path), QPdfDocument::Error::None);
    }
    QPdfSearchModel model;
    model.setDocument(&doc);
    model.setSearchString("needle");
    QTRY_COMPARE(model.rowCount(QModelIndex()), 1);

    Folioscope window;
    window.open(&doc);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setSearchHighlights(&model, 0);

    // Page 1's corner in the document and in the viewport, by the layout rules at zoom 1.
    QPdfView *view = window.findChild<QPdfView *>();
    QWidget *viewport = view->viewport();
    const QSizeF shown = doc.pagePointSize(1);
    const int pageWidth = qRound(shown.width() * r);
    const int total = qRound(qMax(612.0, shown.width()) * r) + int(12 * r);
    const int pageTop = int(6 * r) + qRound(792 * r) + 3;
    // QtPdf's boxes are a little tighter than poppler's.
    QVERIFY2(qAbs(view->verticalScrollBar()->value() - qRound(pageTop + needle.top() * r)) <= 4,
        qPrintable(QString::number(view->verticalScrollBar()->value())));
    // The hit's top is at the viewport's top; a little higher the whole line shows.
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->value() - 100);
    const QPointF corner(
        (qMax(total, viewport->width()) - pageWidth) / 2 - view->horizontalScrollBar()->value(),
        pageTop - view->verticalScrollBar()->value());
    const auto toViewport = [&](const QPointF &points) { return (corner + points * r).toPoint(); };
    const auto boxInViewport = [&](const QRectF &points) {
        return QRectF(corner + points.topLeft() * r, points.size() * r).toRect();
    };

    // A drag along "haystack" from its first letter to its last.
    const double along = reading.x() ? haystack.width() : haystack.height();
    const QPointF from = haystack.center() - reading * (along / 2 - 2);
    const QPointF to = haystack.center() + reading * (along / 2 - 2);
    QTest::mousePress(viewport, Qt::LeftButton, {}, toViewport(from));
    QTest::mouseMove(viewport, toViewport(to));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, toViewport(to));
    QGuiApplication::clipboard()->setText("sentinel");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Text copied to clipboard: "));
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    const QString copied = QGuiApplication::clipboard()->text();
    QVERIFY2(copied.startsWith("hayst") && !copied.contains("needle"), qPrintable(copied));

    // The window's own rendering: a grab of the screen would also catch the windows of other
    // tests sharing the display, which may lie over this one.
    QImage windowShot;
    const auto shoot = [&]() {
        windowShot = window.grab().toImage();
        return windowShot.copy(QRect(viewport->mapTo(&window, QPoint(0, 0)), viewport->size()));
    };
    const auto inkUnder = [](const QImage &image, const QRect &area, int *blue) {
        int ink = 0;
        *blue = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                const QRgb c = image.pixel(x, y);
                ink += isInk(c);
                *blue += isInk(c) && isBluish(c);
            }
        }
        return ink;
    };
    const QRect needleBox = boxInViewport(needle);
    const QRect haystackBox = boxInViewport(haystack);
    int blue = 0;
    QImage shot;
    // Pages render in the background: wait for the words' ink.
    QTRY_VERIFY_WITH_TIMEOUT((shot = shoot(), inkUnder(shot, needleBox, &blue) > 20), 10000);
    const QString out = qEnvironmentVariable("QUORVANE_TEST_OUTPUT", QDir::tempPath());
    QDir().mkpath(out);
    const QString file
        = QString("%1/folioscope-%2-%3.png").arg(out, tag, QGuiApplication::platformName());
    QVERIFY(windowShot.save(file));
    qInfo("screenshot: %s", qPrintable(file));

    // The hit covers the ink of "needle", the selection that of "haystack".
    for (const QRect &word : { needleBox, haystackBox }) {
        QVERIFY(shot.rect().contains(word));
        const int ink = inkUnder(shot, word, &blue);
        QVERIFY(ink > 20);
        QVERIFY2(blue >= ink * 0.85,
            qPrintable(QString("%1 of %2 ink pixels under blue").arg(blue).arg(ink)));
    }
    // And there is no blue anywhere else on the page.
    const QRect pageArea = boxInViewport(QRectF(QPointF(0, 0), shown)) & shot.rect();
    int stray = 0;
    for (int y = pageArea.top(); y <= pageArea.bottom(); ++y) {
        for (int x = pageArea.left(); x <= pageArea.right(); ++x) {
            const bool onWord = needleBox.adjusted(-2, -2, 2, 2).contains(x, y)
                || haystackBox.adjusted(-2, -2, 2, 2).contains(x, y);
            stray += !onWord && isBluish(shot.pixel(x, y));
        }
    }
    QCOMPARE(stray, 0);
}

QTEST_MAIN(tst_PdfTextFrames)
#include "tst_pdftextframes.moc"
