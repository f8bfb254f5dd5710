#include "testenvironment.h"

#include "chat.h"
#include "llmclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontMetricsF>
#include <QPainter>
#include <QPdfWriter>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

namespace TestEnvironment {

void isolate(const QTemporaryDir &root)
{
    const auto folder = [&root](const char *name) {
        const QString path = root.filePath(QLatin1String(name));
        QDir().mkpath(path);
        return QFile::encodeName(path);
    };
    qputenv("TMPDIR", folder("tmp"));
    qputenv("HOME", folder("home"));
    qputenv("XDG_CONFIG_HOME", folder("config"));
    qputenv("XDG_CACHE_HOME", folder("cache"));
    qputenv("XDG_DATA_HOME", folder("data"));
    qputenv(
        "PATH", QFile::encodeName(binDir()) + QDir::listSeparator().toLatin1() + qgetenv("PATH"));
    QStandardPaths::setTestModeEnabled(true);
}

void clearSettings()
{
    QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
    settings.clear();
    settings.sync();
}

void storeSetting(const QString &key, const QVariant &value)
{
    QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
    settings.setValue(key, value);
    settings.sync();
}

QString binDir()
{
    return qEnvironmentVariable("QUORVANE_BIN_DIR");
}

QString modelsDir()
{
    return qEnvironmentVariable("QUORVANE_MODELS_DIR");
}

QString makeModelFolder(const QString &parent)
{
    const QString folder = QDir(parent).filePath(QStringLiteral("models"));
    QDir().mkpath(folder);
    for (const char *name : { "answer.gguf", "retrieval.gguf" }) {
        const QString target = QDir(folder).filePath(QLatin1String(name));
        if (!QFile::exists(target))
            QFile::copy(QDir(modelsDir()).filePath(QLatin1String(name)), target);
    }
    return folder;
}

QList<QList<Paragraph>> writePdf(const QString &path, const QList<QStringList> &pages)
{
    // One painter unit is one point from the page's top-left corner.
    constexpr qreal PageWidth = 612;
    constexpr qreal PageHeight = 1008;
    constexpr qreal Left = 72;
    constexpr qreal Top = 40;
    constexpr qreal ParagraphStep = 36;

    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageSize(QPageSize(QSizeF(PageWidth, PageHeight), QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter(&writer);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSizeF(9);
    // Shaping would write ligatures, which are not what the test wrote.
    font.setStyleStrategy(QFont::PreferNoShaping);
    painter.setFont(font);
    const QFontMetricsF metrics(font, &writer);

    QList<QList<Paragraph>> drawn;
    for (int p = 0; p < pages.size(); ++p) {
        if (p > 0)
            writer.newPage();
        QList<Paragraph> onPage;
        qreal top = Top;
        for (const QString &text : pages.at(p)) {
            // Two lines a paragraph, so that lines and paragraphs are told apart by their gaps.
            const int cut = text.indexOf(QLatin1Char(' '), text.size() / 2);
            const QStringList lines = cut > 0 ? QStringList { text.left(cut), text.mid(cut + 1) }
                                              : QStringList { text };
            QRectF box;
            qreal baseline = top + metrics.ascent();
            for (const QString &line : lines) {
                painter.drawText(QPointF(Left, baseline), line);
                const QRectF lineBox(Left, baseline - metrics.ascent(),
                    metrics.horizontalAdvance(line), metrics.height());
                box = box.isNull() ? lineBox : box.united(lineBox);
                baseline += metrics.lineSpacing();
            }
            onPage.append({ text, box });
            top += ParagraphStep;
        }
        drawn.append(onPage);
    }
    painter.end();
    return drawn;
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString();
}

void writeDamagedPdf(const QString &path, const QStringList &pageTexts, int damagedPage)
{
    // Objects: 1 catalog, 2 page tree, 3 font, then a page and its content per page.
    QList<QByteArray> objects { "<< /Type /Catalog /Pages 2 0 R >>", QByteArray(),
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>" };
    QByteArray kids;
    for (int i = 0; i < pageTexts.size(); ++i) {
        const QByteArray page = QByteArray::number(4 + 2 * i);
        kids += page + " 0 R ";
        const QByteArray content
            = "BT /F1 12 Tf 72 700 Td (" + pageTexts.at(i).toLatin1() + ") Tj ET";
        objects << (i == damagedPage ? QByteArray("null")
                                     : "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                                       "/Resources << /Font << /F1 3 0 R >> >> /Contents "
                    + QByteArray::number(5 + 2 * i) + " 0 R >>");
        objects << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content
                + "\nendstream";
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count "
        + QByteArray::number(pageTexts.size()) + " >>";

    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << out.size();
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : std::as_const(offsets))
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1)
        + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(out);
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace TestEnvironment

OnlineService::OnlineService(const QStringList &arguments, QObject *parent)
    : QObject(parent)
    , m_process(QDir(TestEnvironment::binDir()).filePath(QStringLiteral("onlineservice")),
          QStringList { QStringLiteral("0") } + arguments)
{
}

OnlineService::~OnlineService() = default;

bool OnlineService::isListening() const
{
    return m_process.isListening();
}

QString OnlineService::url() const
{
    return m_process.address();
}

QStringList OnlineService::log() const
{
    return m_process.lines();
}

QStringList OnlineService::received(const QString &type) const
{
    QStringList result;
    const QString needle = QStringLiteral("\"type\":\"%1\"").arg(type);
    for (const QString &line : m_process.lines()) {
        if (line.startsWith(QLatin1String("<< ")) && (type.isEmpty() || line.contains(needle)))
            result.append(line.mid(3));
    }
    return result;
}

bool OnlineService::waitForReceived(const QString &type, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return received(type).size() >= count; }, timeoutMs);
}

QObject *createWebSocket(QQmlEngine &engine, const QString &url, QObject *receiver)
{
    QQmlComponent component(&engine);
    component.setData("import QtQuick\nimport QtWebSockets\nWebSocket { }", QUrl());
    QObject *socket = component.create();
    if (!socket) {
        qWarning() << component.errorString();
        return nullptr;
    }
    socket->setParent(&engine);
    // As the main window does: every text message goes to the dispatcher.
    QObject::connect(
        socket, SIGNAL(textMessageReceived(QString)), receiver, SLOT(messageReceived(QString)));
    socket->setProperty("url", QUrl(url));
    socket->setProperty("active", true);
    return socket;
}

bool waitForStatus(QObject *webSocket, int status, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] { return webSocket->property("status").toInt() == status; }, timeoutMs);
}

Online::Online(Chat &chat, const QStringList &arguments)
    : service(arguments)
    , engine(std::make_unique<QQmlEngine>())
{
    socket = createWebSocket(*engine, service.url(), &chat);
    chat.setSocket(socket);
}

Online::~Online() = default;

bool Online::open() const
{
    return socket && waitForStatus(socket, LLMClient::Open);
}
