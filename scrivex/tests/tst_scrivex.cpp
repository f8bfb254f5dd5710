#include "scrivexrun.h"
#include "testpdf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QJsonArray>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

struct PopplerWord
{
    QString text;
    QRectF box;
};

// Word boxes as poppler's own pdftotext reports them, in the displayed frame of the crop box.
QList<QList<PopplerWord>> popplerWords(const QString &pdf)
{
    QProcess process;
    process.start(QStringLiteral("pdftotext"), { "-bbox", "-cropbox", pdf, "-" });
    if (!process.waitForFinished(30000))
        return {};
    const QString html = QString::fromUtf8(process.readAllStandardOutput());
    static const QRegularExpression item(
        QStringLiteral("<page |<word xMin=\"([^\"]+)\" yMin=\"([^\"]+)\" xMax=\"([^\"]+)\" "
                       "yMax=\"([^\"]+)\">([^<]*)</word>"));
    QList<QList<PopplerWord>> pages;
    for (const QRegularExpressionMatch &m : item.globalMatch(html)) {
        if (m.captured(0) == QLatin1String("<page ")) {
            pages.append(QList<PopplerWord>());
            continue;
        }
        QString text = m.captured(5);
        text.replace("&lt;", "<")
            .replace("&gt;", ">")
            .replace("&quot;", "\"")
            .replace("&apos;", "'")
            .replace("&amp;", "&");
        const QPointF topLeft(m.captured(1).toDouble(), m.captured(2).toDouble());
        const QPointF bottomRight(m.captured(3).toDouble(), m.captured(4).toDouble());
        pages.last().append({ text, QRectF(topLeft, bottomRight) });
    }
    return pages;
}

QRectF boxOf(const QJsonObject &chunk)
{
    const QJsonObject b = chunk.value("bbox").toObject();
    return QRectF(b.value("x").toDouble(), b.value("y").toDouble(), b.value("width").toDouble(),
        b.value("height").toDouble());
}

bool covers(const QRectF &outer, const QRectF &inner, double tolerance = 0.5)
{
    return outer.adjusted(-tolerance, -tolerance, tolerance, tolerance).contains(inner);
}

QString spelledOut(QString text)
{
    return text.replace(QChar(0xFB01), "fi").replace(QChar(0xFB02), "fl");
}

QList<QJsonObject> onPage(const QList<QJsonObject> &chunks, int page)
{
    QList<QJsonObject> out;
    for (const QJsonObject &c : chunks) {
        if (c.value("page").toInt(-1) == page)
            out.append(c);
    }
    return out;
}

QStringList textsOf(const QList<QJsonObject> &chunks)
{
    QStringList texts;
    for (const QJsonObject &c : chunks)
        texts.append(c.value("text").toString());
    return texts;
}

// Renders the page as a reader sees it, one pixel per point, and checks that every box lies
// over ink and that all ink lies under a box. Saves the page with its boxes for a person.
void checkBoxesOverInk(
    const QString &pdf, int page, const QList<QRectF> &boxes, const QString &name)
{
    QPdfDocument document;
    QCOMPARE(document.load(pdf), QPdfDocument::Error::None);
    const QSize size = document.pagePointSize(page).toSize();
    QImage image = document.render(page, size).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!image.isNull());
    auto isInk = [&image](int x, int y) {
        const QRgb p = image.pixel(x, y);
        return qAlpha(p) > 128 && qGray(p) < 160;
    };
    QList<int> inkPerBox(boxes.size(), 0);
    int stray = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!isInk(x, y))
                continue;
            const QPointF centre(x + 0.5, y + 0.5);
            bool under = false;
            for (int b = 0; b < boxes.size(); ++b) {
                if (boxes[b].contains(centre))
                    ++inkPerBox[b];
                under = under || boxes[b].adjusted(-2, -2, 2, 2).contains(centre);
            }
            stray += !under;
        }
    }

    QImage shown(image.size(), QImage::Format_ARGB32);
    shown.fill(Qt::white);
    QPainter painter(&shown);
    painter.drawImage(0, 0, image);
    painter.setPen(QPen(QColor(220, 0, 0), 1));
    painter.setBrush(QColor(255, 200, 0, 60));
    for (const QRectF &box : boxes)
        painter.drawRect(box);
    painter.end();
    const QString output = qEnvironmentVariable("QUORVANE_TEST_OUTPUT");
    if (!output.isEmpty() && QDir().mkpath(output))
        shown.save(output + "/scrivex-" + QString(name).replace(' ', '-') + ".png");

    QCOMPARE(stray, 0);
    for (int b = 0; b < boxes.size(); ++b)
        QVERIFY2(inkPerBox[b] > 0, qPrintable(QString("box %1 covers no text").arg(b)));
}

QProcessEnvironment environmentWith(const QString &name, const QString &value)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    return environment;
}

// Two columns of two paragraphs each: a paragraph gap in the left column, a first-line indent
// in the right one, a hyphenated line end and the "fi" and "fl" ligature glyphs.
const QList<QByteArray> LeftColumn = {
    "Alpha bravo charlie delta echo fox-",
    "trot golf hotel india juliett kilo",
    "lima mike november oscar papa.",
    "",
    "Quebec romeo sierra tango uniform",
    "victor whiskey xray yankee zulu.",
};
const QList<QByteArray> RightColumn = {
    "   Ligatures \001nd their way into",
    "many \002oating texts of old books, and",
    "scholars still print them with care.",
    "   Second column paragraph brings new",
    "words such as granite basalt marble",
    "quartz or slate.",
};
const QStringList ColumnParagraphs = {
    "Alpha bravo charlie delta echo foxtrot golf hotel india juliett kilo lima mike november "
    "oscar papa.",
    "Quebec romeo sierra tango uniform victor whiskey xray yankee zulu.",
    "Ligatures find their way into many floating texts of old books, and scholars still print "
    "them with care.",
    "Second column paragraph brings new words such as granite basalt marble quartz or slate.",
};

// The longest left line ends at about 230 points: 10 points of gutter, as LaTeX sets them.
constexpr double NarrowGutterX = 240;

QByteArray columnsContent(double rightX)
{
    return TestPdf::lines(72, 720, 10, 12, LeftColumn)
        + TestPdf::lines(rightX, 720, 10, 12, RightColumn);
}

} // namespace

class tst_Scrivex : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void columnPagesReadInOrderWithBoxesOverText_data();
    void columnPagesReadInOrderWithBoxesOverText();
    void knownSentenceBoxOnMiddlePage();
    void longParagraphSplitsIntoBoxedPieces_data();
    void longParagraphSplitsIntoBoxedPieces();

    void hugeCoordinatesAreWrittenAsJsonNumbers_data();
    void hugeCoordinatesAreWrittenAsJsonNumbers();
    void fileReplacedDuringARunNeverMixesIn_data();
    void fileReplacedDuringARunNeverMixesIn();

    void badInputFailsWithClearMessage_data();
    void badInputFailsWithClearMessage();
    void damagedPageIsReportedAndTheRestRead();

    void waitsForEachAck();
    void stopsWhenInputClosesEarly();

    void readsRealManual();

private:
    QString pathOf(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_columns;
    QList<QJsonObject> m_columnChunks;
    QList<QList<PopplerWord>> m_columnWords;
};

void tst_Scrivex::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFileInfo(ScrivexRun::program()).isExecutable(), qPrintable(ScrivexRun::program()));
    if (QStandardPaths::findExecutable("pdftotext").isEmpty())
        QSKIP("pdftotext (poppler-utils) is needed to compare with poppler's word boxes");

    TestPdf columns;
    TestPdf::Page page;
    page.content = columnsContent(330);
    columns.addPage(page);
    for (int rotate : { 90, 180, 270 }) {
        page.rotate = rotate;
        columns.addPage(page);
    }
    page.rotate = 0;
    page.cropBox = QRectF(40, 380, 520, 380);
    // Outside the crop box: not shown, so not read.
    page.content += TestPdf::lines(5, 700, 10, 12, { "unseen" });
    columns.addPage(page);
    page.cropBox = QRectF();
    page.content = columnsContent(NarrowGutterX);
    columns.addPage(page);
    page.rotate = 270;
    columns.addPage(page);
    m_columns = pathOf("columns.pdf");
    QVERIFY(columns.save(m_columns));

    ScrivexRun *run = ScrivexRun::runToEnd({ m_columns }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitCode(), 0);
    QVERIFY(run->malformed().isEmpty());
    m_columnChunks = run->objects();
    m_columnWords = popplerWords(m_columns);
    QCOMPARE(m_columnWords.size(), 7);
}

void tst_Scrivex::columnPagesReadInOrderWithBoxesOverText_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QSizeF>("shownSize");
    QTest::newRow("upright") << 0 << QSizeF(612, 792);
    QTest::newRow("rotate 90") << 1 << QSizeF(792, 612);
    QTest::newRow("rotate 180") << 2 << QSizeF(612, 792);
    QTest::newRow("rotate 270") << 3 << QSizeF(792, 612);
    QTest::newRow("crop box") << 4 << QSizeF(520, 380);
    QTest::newRow("narrow gutter") << 5 << QSizeF(612, 792);
    QTest::newRow("narrow gutter rotate 270") << 6 << QSizeF(792, 612);
}

void tst_Scrivex::columnPagesReadInOrderWithBoxesOverText()
{
    QFETCH(int, page);
    QFETCH(QSizeF, shownSize);
    const QList<QJsonObject> chunks = onPage(m_columnChunks, page);
    QCOMPARE(textsOf(chunks), ColumnParagraphs);

    QList<QRectF> boxes;
    for (const QJsonObject &chunk : chunks) {
        boxes.append(boxOf(chunk));
        QVERIFY(covers(QRectF(QPointF(0, 0), shownSize), boxes.last(), 0.01));
    }
    // Every word poppler sees lies in the box of the chunk that holds it and in no other.
    // A word hyphenated at a line end is the start of one chunk word, its rest the end of it.
    bool afterHyphen = false;
    for (const PopplerWord &word : m_columnWords[page]) {
        if (!QRectF(QPointF(0, 0), shownSize).intersects(word.box))
            continue;
        QString text = spelledOut(word.text);
        const bool hyphenated = text.endsWith('-');
        if (hyphenated)
            text.chop(1);
        int holder = -1;
        for (int c = 0; c < chunks.size(); ++c) {
            const QStringList chunkWords = textsOf(chunks)[c].split(' ');
            for (const QString &chunkWord : chunkWords) {
                const bool match = chunkWord == text || (hyphenated && chunkWord.startsWith(text))
                    || (afterHyphen && chunkWord.endsWith(text));
                if (match && holder != c) {
                    QVERIFY2(holder < 0, qPrintable("word in two chunks: " + text));
                    holder = c;
                }
            }
        }
        afterHyphen = hyphenated;
        QVERIFY2(holder >= 0, qPrintable("word in no chunk: " + text));
        QVERIFY2(covers(boxes[holder], word.box), qPrintable("box misses " + text));
        for (int c = 0; c < chunks.size(); ++c)
            QVERIFY2(c == holder || !boxes[c].intersects(word.box), qPrintable(text));
    }
    checkBoxesOverInk(m_columns, page, boxes, QTest::currentDataTag());
}

void tst_Scrivex::knownSentenceBoxOnMiddlePage()
{
    const QString pdf = pathOf("written.pdf");
    const QStringList pageTexts[3] = {
        { "Opening page with its own short paragraph about harbours and ships.",
            "A second paragraph on the first page mentions lighthouses and tides." },
        { "The middle page starts with a paragraph on mountain roads and passes.",
            "Our known sentence says that copper kettles sing softly on winter evenings. It "
            "sits in a paragraph that wraps over several lines of this narrow page." },
        { "The last page closes with one paragraph about gardens." },
    };
    QList<QRectF> drawn[3];
    {
        QPdfWriter writer(pdf);
        writer.setResolution(72);
        writer.setPageSize(QPageSize(QSizeF(300, 400), QPageSize::Point));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter(&writer);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSizeF(10);
        font.setStyleStrategy(QFont::PreferNoShaping);
        painter.setFont(font);
        for (int p = 0; p < 3; ++p) {
            if (p > 0)
                writer.newPage();
            double y = 40;
            for (const QString &text : pageTexts[p]) {
                const QRectF area(30, y, 240, 200);
                const int flags = Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop;
                painter.drawText(area, flags, text);
                drawn[p].append(painter.boundingRect(area, flags, text));
                y = drawn[p].last().bottom() + 24;
            }
        }
    }

    ScrivexRun *run = ScrivexRun::runToEnd({ pdf }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitCode(), 0);
    for (int p = 0; p < 3; ++p)
        QCOMPARE(textsOf(onPage(run->objects(), p)), pageTexts[p]);
    QCOMPARE(run->objects().size(), 5);

    // The known sentence's paragraph: its box covers each of its words as poppler reports them
    // and stays within the area the paragraph was drawn in.
    const QJsonObject known = onPage(run->objects(), 1).at(1);
    const QRectF box = boxOf(known);
    QVERIFY(covers(drawn[1][1], box, 3));
    const QList<QList<PopplerWord>> words = popplerWords(pdf);
    QCOMPARE(words.size(), 3);
    int inParagraph = 0;
    for (const PopplerWord &word : words[1]) {
        if (!drawn[1][1].contains(word.box.center()))
            continue;
        ++inParagraph;
        QVERIFY2(covers(box, word.box), qPrintable(word.text));
    }
    QCOMPARE(inParagraph, pageTexts[1][1].split(' ').size());
}

void tst_Scrivex::longParagraphSplitsIntoBoxedPieces_data()
{
    QTest::addColumn<bool>("sentences");
    QTest::newRow("cut at sentence ends") << true;
    QTest::newRow("no sentence ends, cut at line ends") << false;
}

void tst_Scrivex::longParagraphSplitsIntoBoxedPieces()
{
    QFETCH(bool, sentences);
    // About 2700 characters of distinct tokens, nine to a sentence, wrapped at 14 a line.
    QStringList tokens;
    for (int i = 0; i < 450; ++i) {
        QString token = QString("q%1").arg(i, 4, 10, QChar('0'));
        if (sentences && i % 9 == 0)
            token[0] = 'Q';
        if (sentences && i % 9 == 8)
            token += '.';
        tokens.append(token);
    }
    QList<QByteArray> lines;
    QList<QString> lineEnds;
    for (int i = 0; i < tokens.size(); i += 14) {
        const QStringList line = tokens.mid(i, 14);
        lines.append(line.join(' ').toLatin1());
        lineEnds.append(line.last());
    }
    const QString closing = QStringLiteral("A short closing paragraph stays whole.");
    TestPdf pdf;
    TestPdf::Page page;
    page.content = TestPdf::lines(40, 760, 8, 10, lines)
        + TestPdf::lines(40, 760 - 10 * (lines.size() + 2), 8, 10, { closing.toLatin1() });
    pdf.addPage(page);
    const QString path = pathOf(sentences ? "long-sentences.pdf" : "long-lines.pdf");
    QVERIFY(pdf.save(path));

    ScrivexRun *run = ScrivexRun::runToEnd({ path }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitCode(), 0);
    QList<QJsonObject> pieces = run->objects();
    QVERIFY(pieces.size() >= 2);
    QCOMPARE(pieces.takeLast().value("text").toString(), closing);
    QVERIFY(pieces.size() >= 3);

    QStringList texts = textsOf(pieces);
    QCOMPARE(texts.join(' '), tokens.join(' '));
    const QList<PopplerWord> words = popplerWords(path).value(0);
    for (int k = 0; k < pieces.size(); ++k) {
        QVERIFY2(texts[k].size() <= 1000, qPrintable(QString::number(texts[k].size())));
        // Pieces of about equal length, not one long piece and a scrap.
        QVERIFY(texts[k].size() >= 500);
        const QString last = texts[k].section(' ', -1);
        QVERIFY2(sentences ? last.endsWith('.') : lineEnds.contains(last), qPrintable(last));
        const QRectF box = boxOf(pieces[k]);
        if (k > 0)
            QVERIFY(box.top() > boxOf(pieces[k - 1]).top());
        for (const PopplerWord &word : words) {
            if (texts[k].split(' ').contains(word.text))
                QVERIFY2(covers(box, word.box), qPrintable(word.text));
        }
    }
}

void tst_Scrivex::hugeCoordinatesAreWrittenAsJsonNumbers_data()
{
    QTest::addColumn<double>("pageWidth");
    QTest::newRow("1e35 points wide") << 1e35;
    QTest::newRow("1e100 points wide") << 1e100;
    QTest::newRow("1e300 points wide") << 1e300;
}

void tst_Scrivex::hugeCoordinatesAreWrittenAsJsonNumbers()
{
    QFETCH(double, pageWidth);
    TestPdf pdf;
    TestPdf::Page page;
    page.mediaBox = QRectF(0, 0, pageWidth, 792);
    page.content = TestPdf::lines(pageWidth / 2, 720, 10, 12, { "Far along a very wide page." });
    pdf.addPage(page);
    page.mediaBox = QRectF(0, 0, 612, 792);
    page.content = TestPdf::lines(72, 720, 10, 12, { "An ordinary page follows." });
    pdf.addPage(page);
    const QString path = pathOf(QStringLiteral("wide-%1.pdf").arg(QTest::currentDataTag()));
    QVERIFY(pdf.save(path));

    ScrivexRun *run = ScrivexRun::runToEnd({ path }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitCode(), 0);
    // Each object the program wrote parses as JSON, and its box is where the text was set.
    QCOMPARE(run->malformed(), QList<QByteArray>());
    QCOMPARE(run->objects().size(), 2);
    const QJsonObject far = run->objects().first().value("bbox").toObject();
    for (const char *key : { "x", "y", "width", "height" })
        QVERIFY2(far.value(key).isDouble(), key);
    QVERIFY2(qAbs(far.value("x").toDouble() / (pageWidth / 2) - 1) < 1e-6,
        qPrintable(QString::number(far.value("x").toDouble())));
    QCOMPARE(run->objects().last().value("text").toString(), "An ordinary page follows.");
}

void tst_Scrivex::fileReplacedDuringARunNeverMixesIn_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<int>("runs");
    // How the swaps fall between the program's opens is chance: a few runs, each with eight
    // workers, make a mix certain where the file is opened more than once.
    QTest::newRow("renamed over and over as it starts") << false << 5;
    QTest::newRow("written over in place after the first chunk") << true << 1;
}

void tst_Scrivex::fileReplacedDuringARunNeverMixesIn()
{
    QFETCH(bool, inPlace);
    QFETCH(int, runs);
    // Two files of one layout, byte for byte the same length, told apart by one word: pages
    // read from the other file are whole pages of it, not damage. Far more pages than eight
    // workers read ahead of the first acknowledgement.
    constexpr int Pages = 48;
    auto save = [](const QByteArray &word, const QString &path) {
        TestPdf pdf;
        TestPdf::Page page;
        for (int p = 0; p < Pages; ++p) {
            page.content = TestPdf::lines(72, 720, 10, 12,
                { word + " page " + QByteArray::number(p).rightJustified(2, '0') + " stays." });
            pdf.addPage(page);
        }
        return pdf.save(path);
    };
    const QString path = pathOf(QStringLiteral("replaced-%1.pdf").arg(inPlace));
    const std::filesystem::path alpha = QFile::encodeName(path + ".alpha").constData();
    const std::filesystem::path bravo = QFile::encodeName(path + ".bravo").constData();
    const std::filesystem::path target = QFile::encodeName(path).constData();
    QVERIFY(
        save("Alpha", path) && save("Alpha", path + ".alpha") && save("Bravo", path + ".bravo"));

    for (int attempt = 0; attempt < runs; ++attempt) {
        // Until the first chunk is out, the file is swapped for the other one as fast as a
        // rename goes, so whenever the program opens it, the next open may find the other file.
        std::atomic<bool> swapping { !inPlace };
        std::thread swapper([&] {
            const std::filesystem::path next = target.string() + ".next";
            for (int k = 0; swapping; ++k) {
                std::error_code ec;
                std::filesystem::create_hard_link(k % 2 ? alpha : bravo, next, ec);
                std::filesystem::rename(next, target, ec);
            }
        });
        ScrivexRun run;
        run.start({ path }, false, environmentWith("SCRIVEX_THREADS", "8"));
        const bool started = QTest::qWaitFor([&run] { return !run.objects().isEmpty(); }, 10000);
        swapping = false;
        swapper.join();
        QVERIFY(started);
        if (inPlace) {
            QFile from(path + ".bravo");
            QFile to(path);
            QVERIFY(from.open(QIODevice::ReadOnly) && to.open(QIODevice::ReadWrite));
            const QByteArray bytes = from.readAll();
            QCOMPARE(to.write(bytes), bytes.size());
        }
        run.setAcknowledgeEach(true);
        run.acknowledge();
        QVERIFY(run.waitForFinished());
        QCOMPARE(run.exitCode(), 0);

        // Every page comes from the file the first one came from.
        const QString word = run.objects().first().value("text").toString().section(' ', 0, 0);
        QStringList expected;
        for (int p = 0; p < Pages; ++p)
            expected.append(
                QStringLiteral("%1 page %2 stays.").arg(word).arg(p, 2, 10, QChar('0')));
        QCOMPARE(textsOf(run.objects()), expected);
    }
}

void tst_Scrivex::badInputFailsWithClearMessage_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no argument") << QString() << "usage" << 1;
    QTest::newRow("missing file") << "missing.pdf"
                                  << "No such file" << 2;
    QTest::newRow("directory") << "."
                               << "directory" << 2;
    QTest::newRow("empty file") << "empty.pdf"
                                << "empty" << 2;
    QTest::newRow("text file") << "notes.pdf"
                               << "not a PDF" << 2;
    QTest::newRow("truncated") << "truncated.pdf"
                               << "damaged" << 2;
    QTest::newRow("garbage after the header") << "garbage.pdf"
                                              << "damaged" << 2;
    QTest::newRow("encrypted") << "encrypted.pdf"
                               << "encrypted" << 2;
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO") << "fifo.pdf"
                          << "not a regular file" << 2;
    QTest::newRow("device") << "/dev/zero"
                            << "not a regular file" << 2;
#endif
}

void tst_Scrivex::badInputFailsWithClearMessage()
{
    QFETCH(QString, file);
    QFETCH(QString, reason);
    QFETCH(int, exitCode);
    QByteArray columns;
    {
        QFile f(m_columns);
        QVERIFY(f.open(QIODevice::ReadOnly));
        columns = f.readAll();
    }
    auto write = [this](const QString &name, const QByteArray &bytes) {
        QFile f(pathOf(name));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QByteArray garbage = "%PDF-1.4\n";
    for (int i = 0; i < 4000; ++i)
        garbage += char((i * 7919) % 251);
    QVERIFY(write("empty.pdf", {}));
    QVERIFY(write("notes.pdf", "Shopping list: bread, milk.\n"));
    QVERIFY(write("truncated.pdf", columns.left(columns.size() / 2)));
    QVERIFY(write("garbage.pdf", garbage));
    if (file == QLatin1String("encrypted.pdf")) {
        if (QStandardPaths::findExecutable("qpdf").isEmpty())
            QSKIP("qpdf is needed to encrypt a file");
        QProcess qpdf;
        qpdf.start(
            "qpdf", { "--encrypt", "reader", "owner", "256", "--", m_columns, pathOf(file) });
        QVERIFY(qpdf.waitForFinished());
        QCOMPARE(qpdf.exitCode(), 0);
    }

#ifdef Q_OS_UNIX
    // Nothing ever writes to it.
    if (file == QLatin1String("fifo.pdf") && !QFile::exists(pathOf(file)))
        QCOMPARE(::mkfifo(QFile::encodeName(pathOf(file)).constData(), 0600), 0);
#endif

    const QString path = file.startsWith('/') ? file : pathOf(file);
    const QStringList arguments = file.isEmpty() ? QStringList() : QStringList { path };
    ScrivexRun run;
    run.start(arguments);
    QVERIFY2(run.waitForFinished(10000), "scrivex hangs on bad input");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), exitCode);
    QVERIFY(run.objects().isEmpty());
    QVERIFY(run.malformed().isEmpty());
    const QString error = run.errorText();
    QVERIFY2(error.contains(reason, Qt::CaseInsensitive), qPrintable(error));
    QVERIFY2(error.count('\n') == 1, qPrintable(error));
    if (!file.isEmpty())
        QVERIFY2(error.contains(path), qPrintable(error));
}

void tst_Scrivex::damagedPageIsReportedAndTheRestRead()
{
    TestPdf pdf;
    TestPdf::Page page;
    page.content = TestPdf::lines(72, 720, 10, 12, { "First page survives." });
    pdf.addPage(page);
    page.missing = true;
    pdf.addPage(page);
    page.missing = false;
    page.content = TestPdf::lines(72, 720, 10, 12, { "Third page survives too." });
    pdf.addPage(page);
    const QString path = pathOf("damaged-page.pdf");
    QVERIFY(pdf.save(path));

    ScrivexRun *run = ScrivexRun::runToEnd({ path }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitStatus(), QProcess::NormalExit);
    QVERIFY(run->exitCode() != 0);
    // poppler skips the broken entry of the page tree, so the third page may come out second.
    QCOMPARE(textsOf(run->objects()),
        QStringList({ "First page survives.", "Third page survives too." }));
    QVERIFY2(run->errorText().contains("cannot be read"), qPrintable(run->errorText()));
    QVERIFY2(run->errorText().contains("damaged"), qPrintable(run->errorText()));
}

void tst_Scrivex::waitsForEachAck()
{
    ScrivexRun run;
    run.start({ m_columns }, false);
    QTRY_COMPARE_WITH_TIMEOUT(run.objects().size(), 1, 10000);
    for (int next = 2; next <= 4; ++next) {
        // Nothing more comes until the reader answers: watched for a while, it stays away.
        QVERIFY(!QTest::qWaitFor(
            [&run, next] { return run.objects().size() >= next || run.bytesWaiting() > 0; }, 300));
        QCOMPARE(run.objects().size(), next - 1);
        run.acknowledge();
        QTRY_COMPARE_WITH_TIMEOUT(run.objects().size(), next, 5000);
    }
    QVERIFY(!run.isFinished());
    QCOMPARE(run.objects().at(3).value("text").toString(), ColumnParagraphs.last());
    run.closeInput();
    QVERIFY(run.waitForFinished(5000));
}

void tst_Scrivex::stopsWhenInputClosesEarly()
{
    ScrivexRun run;
    run.start({ m_columns }, false);
    QTRY_COMPARE_WITH_TIMEOUT(run.objects().size(), 1, 10000);
    run.closeInput();
    QVERIFY2(run.waitForFinished(5000), "scrivex keeps waiting on a closed input");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QVERIFY(run.exitCode() != 0);
    QCOMPARE(run.objects().size(), 1);
    QVERIFY2(run.errorText().contains("standard input closed"), qPrintable(run.errorText()));
}

void tst_Scrivex::readsRealManual()
{
    const QString manual = QStringLiteral("/usr/share/doc/libtasn1-doc/libtasn1.pdf");
    if (!QFileInfo::exists(manual))
        QSKIP("libtasn1-doc is not installed");
    ScrivexRun *run = ScrivexRun::runToEnd({ manual }, this);
    QVERIFY(run->isFinished());
    QCOMPARE(run->exitCode(), 0);
    QCOMPARE(run->errorText(), QString());
    QVERIFY(run->malformed().isEmpty());
    const QList<QJsonObject> &chunks = run->objects();
    QVERIFY(chunks.size() > 300);

    QPdfDocument document;
    QCOMPARE(document.load(manual), QPdfDocument::Error::None);
    int previousPage = 0;
    for (const QJsonObject &chunk : chunks) {
        const int page = chunk.value("page").toInt(-1);
        QVERIFY(page >= previousPage && page < document.pageCount());
        previousPage = page;
        const QString text = chunk.value("text").toString();
        QVERIFY(!text.trimmed().isEmpty() && text.size() <= 1000);
        const QRectF pageRect(QPointF(0, 0), document.pagePointSize(page));
        QVERIFY(covers(pageRect, boxOf(chunk), 0.01));
    }
    QCOMPARE(previousPage, document.pageCount() - 1);

    // A sentence of page 6 is in one chunk there, and the chunk's box covers its words.
    const QString sentence = QString::fromUtf8("This version doesn’t handle the REAL type.");
    QJsonObject holder;
    for (const QJsonObject &chunk : onPage(chunks, 5)) {
        if (chunk.value("text").toString().contains(sentence))
            holder = chunk;
    }
    QVERIFY(!holder.isEmpty());
    const QList<PopplerWord> words = popplerWords(manual).value(5);
    const QStringList sentenceWords = sentence.split(' ');
    int start = -1;
    for (int i = 0; start < 0 && i + sentenceWords.size() <= words.size(); ++i) {
        bool match = true;
        for (int k = 0; k < sentenceWords.size() && match; ++k)
            match = words[i + k].text == sentenceWords[k];
        if (match)
            start = i;
    }
    QVERIFY(start >= 0);
    for (int k = 0; k < sentenceWords.size(); ++k)
        QVERIFY2(covers(boxOf(holder), words[start + k].box), qPrintable(sentenceWords[k]));
    checkBoxesOverInk(
        manual, 5,
        [&] {
            QList<QRectF> boxes;
            for (const QJsonObject &chunk : onPage(chunks, 5))
                boxes.append(boxOf(chunk));
            return boxes;
        }(),
        "libtasn1-page6");

    // Pages extracted side by side come out exactly as from one thread.
    ScrivexRun *serial
        = ScrivexRun::runToEnd({ manual }, this, environmentWith("SCRIVEX_THREADS", "1"));
    QVERIFY(serial->isFinished());
    QCOMPARE(serial->objects(), chunks);
}

QTEST_MAIN(tst_Scrivex)
#include "tst_scrivex.moc"
