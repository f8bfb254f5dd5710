#include "uitestenvironment.h"

#include <QColor>
#include <QFontInfo>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <memory>

// The QML component library on its own: each case builds a few components in a real window and
// drives them with the mouse.
class tst_ComponentLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void iconButtonOpacityAndClicks_data();
    void iconButtonOpacityAndClicks();
    void textButtonColoursAndClicks_data();
    void textButtonColoursAndClicks();
    void iconTintPaintsTheShapeInOneColour();
    void loadIndicatorDotsRunOnDriftingCycles();
    void palettes_data();
    void palettes();
    void themedPaletteFollowsTheChosenTheme();
    void fontsLoadFromTheResources();
    void everyIconLoadsOnItsButton();

private:
    QQuickItem *create(const QByteArray &body, const QByteArray &imports = QByteArray());
    QVariant evaluate(const QByteArray &imports, const QByteArray &expression);
    void moveAway();

    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<QQuickWindow> window;
    QList<QQuickItem *> created;
};

void tst_ComponentLibrary::initTestCase()
{
    engine = std::make_unique<QQmlEngine>();
    engine->addImportPath(QStringLiteral("qrc:/app/component_library"));
    window = std::make_unique<QQuickWindow>();
    window->setColor(QColor(QStringLiteral("#09101A")));
    window->resize(640, 480);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_ComponentLibrary::cleanup()
{
    qDeleteAll(created);
    created.clear();
}

QQuickItem *tst_ComponentLibrary::create(const QByteArray &body, const QByteArray &imports)
{
    const QByteArray qml = "import QtQuick\nimport Buttons 1.0\nimport Colors 1.0\n"
                           "import Common 1.0\nimport Fonts 1.0\nimport Icons 1.0\n"
        + imports + "\n" + body;
    QQmlComponent component(engine.get());
    component.setData(qml, QUrl(QStringLiteral("qrc:/tests/Snippet.qml")));
    auto *item = qobject_cast<QQuickItem *>(component.create());
    if (!item) {
        qWarning().noquote() << component.errorString();
        return nullptr;
    }
    item->setParentItem(window->contentItem());
    created.append(item);
    return item;
}

QVariant tst_ComponentLibrary::evaluate(const QByteArray &imports, const QByteArray &expression)
{
    QQmlComponent component(engine.get());
    component.setData(
        "import QtQuick\n" + imports + "\nQtObject { property var value: " + expression + " }",
        QUrl(QStringLiteral("qrc:/tests/Expression.qml")));
    std::unique_ptr<QObject> object(component.create());
    if (!object) {
        qWarning().noquote() << component.errorString();
        return QVariant();
    }
    return object->property("value");
}

void tst_ComponentLibrary::moveAway()
{
    QTest::mouseMove(window.get(), QPoint(620, 460));
}

void tst_ComponentLibrary::iconButtonOpacityAndClicks_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hovered");
    QTest::addColumn<qreal>("opacity");
    QTest::addColumn<int>("clicks");

    QTest::newRow("enabled") << true << false << 1.0 << 1;
    QTest::newRow("enabled, hovered") << true << true << 0.8 << 1;
    QTest::newRow("disabled") << false << false << 0.8 << 0;
    QTest::newRow("disabled, pointer over it") << false << true << 0.8 << 0;
}

void tst_ComponentLibrary::iconButtonOpacityAndClicks()
{
    QFETCH(bool, enabled);
    QFETCH(bool, hovered);
    QFETCH(qreal, opacity);
    QFETCH(int, clicks);

    moveAway();
    QQuickItem *button = create("IconButton { x: 20; y: 20; width: 40; height: 40 }");
    QVERIFY(button);
    button->setEnabled(enabled);
    QSignalSpy clicked(button, SIGNAL(clicked()));
    const QPoint centre(40, 40);

    if (hovered)
        QTest::mouseMove(window.get(), centre);
    QTRY_COMPARE(button->opacity(), opacity);
    QTest::mouseClick(window.get(), Qt::LeftButton, Qt::NoModifier, centre);
    QCOMPARE(clicked.count(), clicks);

    auto *icon = button->property("icon").value<QQuickItem *>();
    QVERIFY(icon);
    QVERIFY(icon->property("path").toString().endsWith(QLatin1String("/android.svg")));
    QCOMPARE(icon->property("status").toInt(), 1); // Image.Ready
}

void tst_ComponentLibrary::textButtonColoursAndClicks_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hovered");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<qreal>("opacity");
    QTest::addColumn<int>("clicks");

    QTest::newRow("enabled") << true << false << QColor("darkcyan") << 1.0 << 1;
    QTest::newRow("enabled, hovered") << true << true << QColor("#006b6b") << 0.8 << 1;
    QTest::newRow("disabled") << false << false << QColor("#00abab") << 1.0 << 0;
    QTest::newRow("disabled, pointer over it") << false << true << QColor("#00abab") << 1.0 << 0;
}

void tst_ComponentLibrary::textButtonColoursAndClicks()
{
    QFETCH(bool, enabled);
    QFETCH(bool, hovered);
    QFETCH(QColor, colour);
    QFETCH(qreal, opacity);
    QFETCH(int, clicks);

    moveAway();
    QQuickItem *button = create("TextButton { x: 20; y: 20; buttonLabel.text: \"Download\" }");
    QVERIFY(button);
    button->setProperty("enabled", enabled);
    QSignalSpy clicked(button, SIGNAL(clicked()));
    auto *label = button->property("buttonLabel").value<QQuickItem *>();
    QVERIFY(label);
    QCOMPARE(button->width(), label->implicitWidth() + 15);
    QCOMPARE(button->height(), label->implicitHeight() + 8);
    const QPoint centre
        = button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint();

    if (hovered)
        QTest::mouseMove(window.get(), centre);
    QTRY_COMPARE(button->property("color").value<QColor>(), colour);
    QCOMPARE(button->opacity(), opacity);
    QTest::mouseClick(window.get(), Qt::LeftButton, Qt::NoModifier, centre);
    QCOMPARE(clicked.count(), clicks);
}

namespace {

// The pixels of a region that differ from the background, as a mask and their colours.
struct Drawing
{
    QVector<bool> mask;
    QList<QColor> colours;
};

Drawing drawingIn(const QImage &image, const QRect &region, const QColor &background)
{
    Drawing drawing;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            const int distance = qAbs(pixel.red() - background.red())
                + qAbs(pixel.green() - background.green()) + qAbs(pixel.blue() - background.blue());
            const bool drawn = distance > 150;
            drawing.mask.append(drawn);
            if (drawn)
                drawing.colours.append(pixel);
        }
    }
    return drawing;
}

} // namespace

void tst_ComponentLibrary::iconTintPaintsTheShapeInOneColour()
{
    QQuickItem *row = create("Row {\n"
                             "    x: 10; y: 10; spacing: 20\n"
                             "    Icon { path: IconVault.genAI; sourceSize: Qt.size(64, 64) }\n"
                             "    Icon { path: IconVault.genAI; sourceSize: Qt.size(64, 64);\n"
                             "           color: \"#FFFFFF\" }\n"
                             "}");
    QVERIFY(row);
    QList<QQuickItem *> icons;
    for (QQuickItem *child : row->childItems()) {
        if (child->inherits("QQuickImage"))
            icons.append(child);
    }
    QCOMPARE(icons.size(), 2);
    QTRY_COMPARE(icons.at(0)->property("status").toInt(), 1);
    QTRY_COMPARE(icons.at(0)->width(), 64.0);

    // The grab renders the scene as it stands, the tint's layer included.
    const QImage image
        = UiTestEnvironment::saveScreenshot(window.get(), QStringLiteral("icon-tint"));
    const QColor background(QStringLiteral("#09101A"));
    const Drawing own = drawingIn(image, QRect(10, 10, 64, 64), background);
    const Drawing tinted = drawingIn(image, QRect(94, 10, 64, 64), background);

    QVERIFY(own.colours.size() > 100);
    QVERIFY(qAbs(own.colours.size() - tinted.colours.size()) < own.colours.size() / 10);
    int sameShape = 0;
    for (int i = 0; i < own.mask.size(); ++i)
        sameShape += own.mask.at(i) == tinted.mask.at(i);
    QVERIFY(sameShape > own.mask.size() * 95 / 100);

    // Without a tint the drawing keeps its own colour; with one it is all that colour.
    int ownCyan = 0;
    for (const QColor &c : own.colours)
        ownCyan += c.blue() > 150 && c.green() > 120 && c.red() < 150;
    QVERIFY(ownCyan > own.colours.size() * 8 / 10);
    int white = 0;
    for (const QColor &c : tinted.colours)
        white += qAbs(c.red() - c.blue()) < 20 && qAbs(c.green() - c.blue()) < 20;
    QVERIFY(white > tinted.colours.size() * 9 / 10);
}

void tst_ComponentLibrary::loadIndicatorDotsRunOnDriftingCycles()
{
    QQuickItem *indicator = create("LoadIndicator { x: 20; y: 20 }");
    QVERIFY(indicator);
    QCOMPARE(indicator->width(), 60.0);
    QList<QQuickItem *> dots;
    for (QQuickItem *child : indicator->childItems()) {
        if (child->inherits("QQuickRectangle"))
            dots.append(child);
    }
    QCOMPARE(dots.size(), 3);
    for (QQuickItem *dot : dots) {
        QCOMPARE(dot->size(), QSizeF(6, 6));
        QCOMPARE(dot->property("radius").toReal(), 3.0);
    }

    // The moments each dot rises through half opacity, sampled against the wall clock until
    // every dot has risen four times: a start-up slowed by a busy machine only takes longer.
    QList<QList<qint64>> rises(dots.size());
    QList<qreal> last(dots.size(), 0.0);
    QElapsedTimer clock;
    clock.start();
    const auto everyDotRoseFourTimes = [&rises] {
        return std::all_of(rises.cbegin(), rises.cend(),
            [](const QList<qint64> &times) { return times.size() >= 4; });
    };
    while (!everyDotRoseFourTimes() && clock.elapsed() < 30000) {
        QTest::qWait(5);
        for (int i = 0; i < dots.size(); ++i) {
            const qreal opacity = dots.at(i)->opacity();
            if (last.at(i) < 0.5 && opacity >= 0.5)
                rises[i].append(clock.elapsed());
            last[i] = opacity;
        }
    }

    // The first rise comes while the scene starts up; the steady cycles follow. The animation
    // clock of a display without vsync, and of a busy machine, runs off the wall clock by a
    // varying amount, so the cycles are compared with each other, and the first one only
    // roughly with its duration.
    const QList<qreal> cycles { 1000, 1300, 1600 };
    QList<qreal> periods;
    for (int i = 0; i < dots.size(); ++i) {
        const QList<qint64> &times = rises.at(i);
        QVERIFY2(times.size() >= 4,
            qPrintable(QStringLiteral("dot %1 rose %2 times").arg(i).arg(times.size())));
        periods.append(qreal(times.last() - times.at(1)) / (times.size() - 2));
    }
    QVERIFY2(periods.at(0) > 700 && periods.at(0) < 1500,
        qPrintable(QStringLiteral("the first dot cycles in %1 ms").arg(periods.at(0))));
    for (int i = 1; i < dots.size(); ++i) {
        const qreal ratio = periods.at(i) / periods.at(0);
        QVERIFY2(qAbs(ratio - cycles.at(i) / cycles.at(0)) <= 0.08,
            qPrintable(
                QStringLiteral("dot %1 cycles %2 times as long as the first").arg(i).arg(ratio)));
    }
}

void tst_ComponentLibrary::palettes_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("colour");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("1.0 primary") << QByteArray("1.0") << QByteArray("primary")
                                 << QVariant(QStringLiteral("#09101A"));
    QTest::newRow("1.0 plainWhite")
        << QByteArray("1.0") << QByteArray("plainWhite") << QVariant(QStringLiteral("#FFFFFF"));
    QTest::newRow("1.0 darkBubbleLeft")
        << QByteArray("1.0") << QByteArray("darkBubbleLeft") << QVariant(QStringLiteral("#252B35"));
    QTest::newRow("1.0 lightBubbleRight") << QByteArray("1.0") << QByteArray("lightBubbleRight")
                                          << QVariant(QStringLiteral("#2D6CF7"));
    QTest::newRow("1.0 backgroundLight") << QByteArray("1.0") << QByteArray("backgroundLight")
                                         << QVariant(QStringLiteral("#20375B"));
    QTest::newRow("1.1 primary") << QByteArray("1.1") << QByteArray("primary")
                                 << QVariant(QStringLiteral("#F3C892"));
    QTest::newRow("1.1 quaternary")
        << QByteArray("1.1") << QByteArray("quaternary") << QVariant(QStringLiteral("#146356"));
    QTest::newRow("1.1 has no bubble colours")
        << QByteArray("1.1") << QByteArray("darkBubbleLeft") << QVariant();
}

void tst_ComponentLibrary::palettes()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, colour);
    QFETCH(QVariant, value);

    const QVariant actual = evaluate("import Colors " + version, "CustomColors." + colour);
    QCOMPARE(actual.isValid(), value.isValid());
    if (value.isValid())
        QCOMPARE(actual.toString(), value.toString());
}

void tst_ComponentLibrary::themedPaletteFollowsTheChosenTheme()
{
    QQuickItem *item = create("Item {\n"
                              "    property string before\n"
                              "    property string after\n"
                              "    Component.onCompleted: {\n"
                              "        before = CustomColors.secondary\n"
                              "        CustomColors.currentTheme = CustomColors.themes.dark\n"
                              "        after = CustomColors.secondary\n"
                              "        CustomColors.currentTheme = CustomColors.themes.light\n"
                              "    }\n"
                              "}",
        "import Colors 1.1");
    QVERIFY(item);
    QCOMPARE(item->property("before").toString(), QStringLiteral("#FFF1BD"));
    QCOMPARE(item->property("after").toString(), QStringLiteral("#461111"));
}

void tst_ComponentLibrary::fontsLoadFromTheResources()
{
    QQuickItem *item = create("Item {\n"
                              "    property var names: [Poppins.bold, Poppins.semiBold,\n"
                              "        Poppins.medium, Poppins.light, Poppins.extraLight]\n"
                              "}");
    QVERIFY(item);
    QTRY_VERIFY(!item->property("names").toStringList().contains(QString()));
    // Each published family, as views use it, reaches the face of its own style.
    const QStringList names = item->property("names").toStringList();
    const QStringList styles { "Bold", "SemiBold", "Medium", "Light", "ExtraLight" };
    for (int i = 0; i < names.size(); ++i) {
        QFont font(names.at(i));
        font.setBold(i == 0);
        const QFontInfo info(font);
        QVERIFY2(info.family().startsWith(QLatin1String("Poppins")), qPrintable(info.family()));
        QCOMPARE(info.styleName(), styles.at(i));
    }
    QVERIFY(QFile::exists(QStringLiteral(":/app/component_library/Fonts/TTF/Poppins/OFL.txt")));
}

void tst_ComponentLibrary::everyIconLoadsOnItsButton()
{
    // Every icon of the set on an IconButton, the text buttons and the indicator, for the eye.
    QQuickItem *sheet = create(R"(
Column {
    x: 10; y: 10; spacing: 12
    Flow {
        width: 620; spacing: 6
        Repeater {
            model: ["android", "apple", "arrowLeft", "arrowRight", "send", "options", "search",
                    "burger", "chat", "document", "genAI", "back", "remove", "mark", "tick",
                    "repeat", "info", "home", "reload", "folder", "download", "more", "play",
                    "pause", "trash", "clock"]
            IconButton {
                required property string modelData
                width: 40; height: 40; color: CustomColors.secondary
                icon.path: IconVault[modelData]
                icon.color: CustomColors.plainWhite
                icon.sourceSize.height: height / 2
            }
        }
    }
    Row {
        spacing: 12
        TextButton { buttonLabel.text: "Enabled" }
        TextButton { buttonLabel.text: "Disabled"; enabled: false }
        BackButton {}
        OptionsButton {}
        LoadIndicator { anchors.verticalCenter: parent.verticalCenter }
    }
    Repeater {
        model: [[Poppins.bold, true], [Poppins.semiBold, false], [Poppins.medium, false],
                [Poppins.light, false], [Poppins.extraLight, false]]
        Text {
            required property var modelData
            text: modelData[0] + (modelData[1] ? " Bold" : "") + ": Type your message here..."
            color: "white"; font.pixelSize: 18
            font.family: modelData[0]; font.bold: modelData[1]
        }
    }
}
)");
    QVERIFY(sheet);
    const QList<QQuickItem *> icons = UiTestEnvironment::findItems(sheet, QString());
    int loaded = 0;
    for (QQuickItem *item : icons) {
        if (!item->inherits("QQuickImage"))
            continue;
        QTRY_COMPARE(item->property("status").toInt(), 1);
        QVERIFY(item->implicitWidth() > 0);
        ++loaded;
    }
    QCOMPARE(loaded, 26 + 2); // the set, and the back and options buttons
    const QImage image
        = UiTestEnvironment::saveScreenshot(window.get(), QStringLiteral("component-library"));
    QVERIFY(!image.isNull());
}

int main(int argc, char **argv)
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
    QGuiApplication app(argc, argv);
    tst_ComponentLibrary test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_componentlibrary.moc"
