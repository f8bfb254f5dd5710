#include "application.h"
#include "chat.h"
#include "componentcreatorengine.h"
#include "filedownloader.h"
#include "modellistmodel.h"
#include "modelrepositoryprocess.h"
#include "testcatalogue.h"
#include "uitestenvironment.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QProcess>
#include <QProcessEnvironment>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace UiTestEnvironment;

namespace {
constexpr qint64 SlowFileSize = 48 * 1024 * 1024; // takes about 15 s from the slow server
// A model of the built-in catalogue, so that a program started again knows its file.
const QString BuiltInRetrieval = QStringLiteral("snowflake-arctic-embed-s-f16");
constexpr qint64 BuiltInRetrievalSize = 67309063;

// What a QML expression gives in the scope of an item, attached properties included.
QVariant evaluateOn(QQuickItem *item, const QString &expression)
{
    QQmlExpression evaluation(qmlContext(item), item, expression);
    const QVariant value = evaluation.evaluate();
    return evaluation.hasError() ? QVariant() : value;
}

// Neither combo box of the language-model settings on top offers the model, and both offer
// what else is there.
void verifyNeitherComboOffers(QQuickItem *settings, const QString &model, const QStringList &rest)
{
    for (const char *name : { "genModelCombo", "retrievalModelCombo" }) {
        QQuickItem *combo = findItem(settings, QLatin1String(name));
        QVERIFY2(combo, name);
        const QStringList offered = combo->property("model").toStringList();
        QVERIFY2(!offered.contains(model), qPrintable(offered.join(", ")));
        for (const QString &other : rest)
            QVERIFY2(offered.contains(other), qPrintable(offered.join(", ")));
    }
}

// What the program logged about the browser's sandbox while it started.
QStringList sandboxLines;
QtMessageHandler passOn = nullptr;

void recordSandboxLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.contains(QLatin1String("sandbox")))
        sandboxLines.append(text);
    passOn(type, context, text);
}

// The browser starts as the user's program starts it, with no switch from the test.
void clearSandboxSwitches()
{
    qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    QList<QByteArray> flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").split(' ');
    flags.removeAll(QByteArrayLiteral("--no-sandbox"));
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.join(' '));
}
} // namespace

// Receives what a page's script answers.
class Probe : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant value MEMBER value)

public:
    QVariant value;
};

// The options, language-model settings, model downloads and about views in the real window, in
// online mode, with the catalogue pointed at the model repository stand-in.
class tst_ModelViews : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void optionsLeadToTheSettings();
    void modeButtonsShowAndHideTheModelChoices();
    void hiddenModelChoicesTakeNoClick();
    void comboBoxesFollowTheModelFiles();
    void downloadRowsShowTheControlsOfTheirState_data();
    void downloadRowsShowTheControlsOfTheirState();
    void failedDownloadTellsWhyOnItsResumeButton();
    void deleteAsksFirstExceptForTheQueue();
    void pausedDownloadIsNotOfferedAfterARestart();
    void aboutPageBrowsesToTheLicenceAndBack();

private:
    QQuickItem *top() const;
    QQuickItem *row(const QString &name) const;
    bool visibleIn(const QString &rowName, const QString &objectName) const;
    void click(QQuickItem *item);
    void clickAt(const QPointF &point);
    // Hovers the button and returns the text of the tool tip the window then shows.
    QString toolTipOf(QQuickItem *button);
    int state(int row) const { return downloader->modelList()->models().at(row).state; }
    // Whether the browser shows a page with text on it: mostly dark with light text (the about
    // page), or the other way round (a plain text file).
    bool pageShown(QQuickItem *web, bool dark) const;

    Chat *chat = nullptr;
    FileDownloader *downloader = nullptr;
    QQuickWindow *window = nullptr;
    QQuickItem *stack = nullptr;
    QTemporaryDir served;
    std::unique_ptr<ModelRepositoryProcess> repository;
};

void tst_ModelViews::initTestCase()
{
    auto *engine = qApp->findChild<ComponentCreatorEngine *>();
    QVERIFY(engine);
    chat = engine->findChild<Chat *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(chat);
    downloader = chat->modelDownloader();
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
    stack = findItem(window, QStringLiteral("mainStack"));
    QVERIFY(stack);

    QFile slow(served.filePath("slow.gguf"));
    QVERIFY(slow.open(QIODevice::WriteOnly));
    slow.write("GGUF");
    QVERIFY(slow.resize(SlowFileSize));
    slow.close();
    repository = std::make_unique<ModelRepositoryProcess>(served.path());
    QVERIFY(repository->isListening());
    ModelRepositoryProcess::trustTestAuthority();
}

void tst_ModelViews::cleanupTestCase()
{
    for (const ModelInfo &model : downloader->modelList()->models())
        downloader->deleteModel(model.name);
}

QQuickItem *tst_ModelViews::top() const
{
    return stack->property("currentItem").value<QQuickItem *>();
}

QQuickItem *tst_ModelViews::row(const QString &name) const
{
    return findItem(top(), QStringLiteral("modelRow_") + name);
}

bool tst_ModelViews::visibleIn(const QString &rowName, const QString &objectName) const
{
    QQuickItem *item = findItem(row(rowName), objectName);
    return item && item->isVisible();
}

bool tst_ModelViews::pageShown(QQuickItem *web, bool dark) const
{
    const QImage image = window->grabWindow();
    const QRect area = web->mapRectToScene(QRectF(0, 0, web->width(), web->height()))
                           .toAlignedRect()
                           .intersected(image.rect());
    qint64 darkPixels = 0;
    qint64 lightPixels = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const int lightness = QColor(image.pixel(x, y)).lightness();
            darkPixels += lightness < 80;
            lightPixels += lightness > 180;
        }
    }
    const qint64 all = qint64(area.width()) * area.height();
    const qint64 ground = dark ? darkPixels : lightPixels;
    const qint64 text = dark ? lightPixels : darkPixels;
    return ground > all / 2 && text > 200;
}

void tst_ModelViews::click(QQuickItem *item)
{
    QVERIFY(item);
    clickAt(item->mapToScene(QPointF(item->width() / 2, item->height() / 2)));
}

void tst_ModelViews::clickAt(const QPointF &point)
{
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, point.toPoint());
}

QString tst_ModelViews::toolTipOf(QQuickItem *button)
{
    if (!button)
        return QString();
    QTest::mouseMove(window,
        button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
    // The window's one shared tool tip, as the button's own file reaches it.
    QQmlExpression shown(qmlContext(button), button,
        QStringLiteral("ToolTip.toolTip.visible ? ToolTip.toolTip.text : \"\""));
    QString text;
    QTest::qWaitFor(
        [&] {
            text = shown.evaluate().toString();
            return !text.isEmpty();
        },
        5000);
    return text;
}

void tst_ModelViews::optionsLeadToTheSettings()
{
    click(findItem(top(), QStringLiteral("optionsButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("optionsView"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    QQuickItem *info = findItem(top(), QStringLiteral("infoButton"));
    QQuickItem *genAI = findItem(top(), QStringLiteral("genAIButton"));
    QCOMPARE(info->size(), QSizeF(45, 45));
    QCOMPARE(genAI->size(), QSizeF(50, 50));
    QCOMPARE(findItem(top(), QStringLiteral("backButton"))->size(), QSizeF(35, 35));
    // Stacked and centred in the view.
    const QPointF infoCentre = info->mapToScene(QPointF(22.5, 22.5));
    const QPointF genAICentre = genAI->mapToScene(QPointF(25, 25));
    QVERIFY(qAbs(infoCentre.x() - window->width() / 2.0) <= 1);
    QVERIFY(qAbs(genAICentre.x() - window->width() / 2.0) <= 1);
    QVERIFY(infoCentre.y() < genAICentre.y());
    QCOMPARE(toolTipOf(info), QStringLiteral("About"));
    saveScreenshot(window, QStringLiteral("options"));
    QCOMPARE(toolTipOf(genAI), QStringLiteral("Language Model"));

    click(genAI);
    QTRY_COMPARE(top()->objectName(), QStringLiteral("genAIView"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
}

void tst_ModelViews::modeButtonsShowAndHideTheModelChoices()
{
    QQuickItem *online = findItem(top(), QStringLiteral("chatGPTRadioBtn"));
    QQuickItem *local = findItem(top(), QStringLiteral("localRadioBtn"));
    QQuickItem *options = findItem(top(), QStringLiteral("localAIOptionsLayout"));
    QQuickItem *answers = findItem(top(), QStringLiteral("genModelCombo"));
    QQuickItem *retrieval = findItem(top(), QStringLiteral("retrievalModelCombo"));
    QVERIFY(online && local && options && answers && retrieval);

    QVERIFY(!chat->localAI());
    QVERIFY(online->property("checked").toBool());
    QVERIFY(!local->property("checked").toBool());
    QCOMPARE(options->opacity(), 0.0);
    QVERIFY(options->height() > 0); // hidden, its place kept
    QVERIFY(!answers->isEnabled());
    QVERIFY(!retrieval->isEnabled());

    click(local);
    QTRY_VERIFY(chat->localAI());
    QVERIFY(!online->property("checked").toBool());
    QCOMPARE(options->opacity(), 1.0);
    QVERIFY(answers->isEnabled());
    QVERIFY(retrieval->isEnabled());
    saveScreenshot(window, QStringLiteral("model-settings"));
    // The tooltips follow the buttons' hover.
    QQuickItem *folder = findItem(top(), QStringLiteral("folderButton"));
    QCOMPARE(toolTipOf(findItem(top(), QStringLiteral("downloadButton"))),
        QStringLiteral("Download available models"));
    QCOMPARE(toolTipOf(folder), QStringLiteral("Model location on disk"));
    QVERIFY(folder->property("mouseArea").value<QObject *>()->property("containsMouse").toBool());
    saveScreenshot(window, QStringLiteral("model-settings-tooltip"));

    // The user picks the other model file for answers from the open list.
    const QString before = chat->answerLlm();
    click(answers);
    QTRY_VERIFY(answers->property("popup").value<QObject *>()->property("opened").toBool());
    QTest::keyClick(window, before == chat->llms().first() ? Qt::Key_Down : Qt::Key_Up);
    QTest::keyClick(window, Qt::Key_Return);
    QTRY_VERIFY(chat->answerLlm() != before);
    QCOMPARE(chat->answerLlm(), answers->property("currentText").toString());
    chat->setAnswerLlm(before);

    click(online);
    QTRY_VERIFY(!chat->localAI());
    QVERIFY(!local->property("checked").toBool());
    QCOMPARE(options->opacity(), 0.0);
    QVERIFY(!answers->isEnabled());
    QCOMPARE(QSettings().value(QStringLiteral("localAI")).toBool(), false);
}

void tst_ModelViews::hiddenModelChoicesTakeNoClick()
{
    QVERIFY(!chat->localAI());
    QQuickItem *folder = findItem(top(), QStringLiteral("folderButton"));
    QQuickItem *download = findItem(top(), QStringLiteral("downloadButton"));
    QQuickItem *answers = findItem(top(), QStringLiteral("genModelCombo"));
    QVERIFY(folder && download && answers);
    // Hovering shows no tooltip: the tooltips follow the buttons' hover.
    for (QQuickItem *button : { folder, download }) {
        QObject *hover = button->property("mouseArea").value<QObject *>();
        QVERIFY(hover);
        QTest::mouseMove(window,
            button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
        QVERIFY(!hover->property("containsMouse").toBool());
        QVERIFY(!button->isEnabled());
    }
    click(download);
    QCOMPARE(top()->objectName(), QStringLiteral("genAIView"));
    click(answers);
    QVERIFY(!answers->property("popup").value<QObject *>()->property("visible").toBool());
    saveScreenshot(window, QStringLiteral("model-settings-online"));
    // Moved off again, so that no later test starts with a hover.
    QTest::mouseMove(window, QPoint(5, window->height() - 5));
}

void tst_ModelViews::comboBoxesFollowTheModelFiles()
{
    QQuickItem *answers = findItem(top(), QStringLiteral("genModelCombo"));
    QQuickItem *retrieval = findItem(top(), QStringLiteral("retrievalModelCombo"));
    QVERIFY(answers && retrieval);
    QCOMPARE(answers->property("model").toStringList(), chat->llms());
    QCOMPARE(answers->property("currentText").toString(), QStringLiteral("answer"));
    QCOMPARE(retrieval->property("currentText").toString(), QStringLiteral("retrieval"));

    chat->setAnswerLlm(QStringLiteral("retrieval"));
    QCOMPARE(answers->property("currentText").toString(), QStringLiteral("retrieval"));
    chat->setAnswerLlm(QStringLiteral("answer"));
    QCOMPARE(answers->property("currentText").toString(), QStringLiteral("answer"));

    // The answer model's file goes; the list is read again: the choice is emptied.
    const QString file = QDir(chat->oraculdDir()).filePath(QStringLiteral("answer.gguf"));
    const QString target = QFileInfo(file).symLinkTarget();
    QVERIFY(QFile::remove(file));
    QMetaObject::invokeMethod(
        chat, "onModelDownloadCompleted", Q_ARG(QString, "none"), Q_ARG(QString, "neither"));
    QCOMPARE(chat->llms(), QStringList { "retrieval" });
    QCOMPARE(chat->answerLlm(), QString());
    QCOMPARE(answers->property("currentIndex").toInt(), -1);
    QCOMPARE(retrieval->property("currentText").toString(), QStringLiteral("retrieval"));
    QCOMPARE(chat->retrieveLlm(), QStringLiteral("retrieval"));

    QVERIFY(QFile::link(target, file));
    QMetaObject::invokeMethod(
        chat, "onModelDownloadCompleted", Q_ARG(QString, "answer"), Q_ARG(QString, "generation"));
    QCOMPARE(answers->property("currentText").toString(), QStringLiteral("answer"));
}

void tst_ModelViews::downloadRowsShowTheControlsOfTheirState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("state");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("label");
    QTest::newRow("not downloaded")
        << "llama" << int(ModelListModel::NotDownloaded) << QStringList { "downloadButton" }
        << "Llama 3.2 1B (Answers) (1.23 GB)";
    QTest::newRow("downloading") << "running" << int(ModelListModel::Downloading)
                                 << QStringList { "pauseButton", "deleteButton", "progressBar" }
                                 << "Running (0.05 GB)";
    QTest::newRow("paused") << "paused" << int(ModelListModel::Paused)
                            << QStringList { "resumeButton", "deleteButton", "progressBar" }
                            << "Paused (0.05 GB)";
    QTest::newRow("queued") << "queued" << int(ModelListModel::Queued)
                            << QStringList { "queuedMark", "deleteButton" } << "Queued (0.05 GB)";
    QTest::newRow("downloaded") << "done" << int(ModelListModel::Downloaded)
                                << QStringList { "deleteButton" }
                                << "Snowflake Arctic (Retrieval) (0.06 GB)";
    QTest::newRow("unknown size") << "unknown" << int(ModelListModel::Downloaded)
                                  << QStringList { "deleteButton" } << "Unknown (Unknown size)";
}

void tst_ModelViews::downloadRowsShowTheControlsOfTheirState()
{
    if (QTest::currentDataTag() == QByteArrayLiteral("not downloaded")) {
        // The built-in catalogue first, as a user finds it: the downloads are a local option.
        click(findItem(top(), QStringLiteral("localRadioBtn")));
        QTRY_VERIFY(chat->localAI());
        click(findItem(top(), QStringLiteral("downloadButton")));
        QTRY_COMPARE(top()->objectName(), QStringLiteral("modelDownload"));
        QTRY_COMPARE(stack->property("busy").toBool(), false);
        // Online again, so that no server loads the stand-in files that the rows below choose.
        chat->setLocalAI(false);
        for (const ModelInfo &model : downloader->modelList()->models())
            QVERIFY2(row(model.name), qPrintable(model.name));
        QCOMPARE(findItem(row("Phi-3.5-mini-instruct.Q8_0"), "nameTextRow")->property("text"),
            QStringLiteral("Phi 3.5 Mini Instruct Q8_0 (Generation) (3.78 GB)"));
        saveScreenshot(window, QStringLiteral("model-downloads-catalogue"));

        // Rows in every state, the download view opened from the settings.
        const QString url = repository->url(QStringLiteral("slow"), QStringLiteral("slow.gguf"));
        const QString folder = chat->oraculdDir();
        for (const auto &[name, size] : { std::pair { "done", 67309063 }, { "unknown", 5 } }) {
            QFile file(QDir(folder).filePath(QString::fromLatin1(name) + ".gguf"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        const QString answers = QStringLiteral("generation");
        downloader->setCatalogue({
            testModel("llama", url, 1321082528, answers, "Llama 3.2 1B (Answers)"),
            testModel("running", url, SlowFileSize, answers, "Running"),
            testModel("paused", url, SlowFileSize, answers, "Paused"),
            testModel("queued", url, SlowFileSize, answers, "Queued"),
            testModel("done", url, 67309063, answers, "Snowflake Arctic (Retrieval)"),
            testModel("unknown", url, 0, answers, "Unknown"),
            testModel("broken",
                repository->url(QStringLiteral("e404"), QStringLiteral("slow.gguf")), SlowFileSize,
                answers, "Broken"),
        });
        downloader->startDownload("broken");
        QTRY_COMPARE(this->state(6), int(ModelListModel::Paused));
        downloader->startDownload("paused");
        QTRY_VERIFY_WITH_TIMEOUT(
            downloader->modelList()->models().at(2).bytesReceived > 3000000, 20000);
        downloader->pauseDownload("paused");
        downloader->startDownload("running");
        downloader->startDownload("queued");

        QTRY_VERIFY(row("unknown"));
        QTRY_VERIFY_WITH_TIMEOUT(
            downloader->modelList()->models().at(1).bytesReceived > 3000000, 20000);
        saveScreenshot(window, QStringLiteral("model-downloads"));
    }
    QFETCH(QString, name);
    QFETCH(int, state);
    QFETCH(QStringList, shown);
    QFETCH(QString, label);
    QCOMPARE(this->state(downloader->modelList()->indexOf(name)), state);
    QVERIFY(row(name));
    QCOMPARE(row(name)->height(), 32.0);
    QCOMPARE(findItem(row(name), "nameTextRow")->property("text").toString(), label);
    QCOMPARE(findItem(row(name), "deleteButton")->size(), QSizeF(20, 20));
    for (const char *control : { "downloadButton", "pauseButton", "resumeButton", "queuedMark",
             "deleteButton", "progressBar" })
        QVERIFY2(visibleIn(name, control) == shown.contains(control), control);
    if (shown.contains("progressBar")) {
        QQuickItem *bar = findItem(row(name), "progressBar");
        QQuickItem *fill = findItem(row(name), "progressFill");
        const double progress
            = downloader->modelList()
                  ->data(downloader->modelList()->index(downloader->modelList()->indexOf(name)),
                      ModelListModel::ProgressRole)
                  .toDouble();
        QVERIFY(progress > 0.05);
        QCOMPARE(bar->property("color").value<QColor>(), QColor("#333333"));
        QCOMPARE(fill->property("color").value<QColor>(), QColor("#00cc66"));
        QCOMPARE(bar->property("radius").toDouble(), 3.0);
        // Between the label and the buttons, 6 pixels from each.
        QQuickItem *label = findItem(row(name), "nameTextRow");
        QQuickItem *buttons = findItem(row(name), "buttonRow");
        QCOMPARE(bar->x(), label->x() + label->width() + 6);
        QCOMPARE(bar->x() + bar->width(), buttons->x() - 6);
        QVERIFY(qAbs(fill->width() - bar->width() * progress) < bar->width() * 0.1);
        QCOMPARE(bar->height(), 6.0);
    }
}

void tst_ModelViews::failedDownloadTellsWhyOnItsResumeButton()
{
    const int broken = downloader->modelList()->indexOf("broken");
    QCOMPARE(state(broken), int(ModelListModel::Paused));
    QQuickItem *resume = findItem(row("broken"), "resumeButton");
    QVERIFY(resume && resume->isVisible());
    const QString why = evaluateOn(resume, "ToolTip.text").toString();
    QVERIFY2(why.contains("server replied: Not Found"), qPrintable(why));
    QVERIFY(!evaluateOn(resume, "ToolTip.visible").toBool());
    QTest::mouseMove(window, resume->mapToScene(QPointF(10, 10)).toPoint());
    QTRY_VERIFY(evaluateOn(resume, "ToolTip.visible").toBool());
    // The tooltip shown is the button's own, with the error's words.
    auto *tip = evaluateOn(resume, "ToolTip.toolTip").value<QObject *>();
    QVERIFY(tip);
    QTRY_VERIFY(tip->property("opened").toBool());
    QCOMPARE(tip->property("text").toString(), why);
    saveScreenshot(window, QStringLiteral("model-download-failed"));

    // A row the user paused has nothing to tell.
    QQuickItem *paused = findItem(row("paused"), "resumeButton");
    QTest::mouseMove(window, paused->mapToScene(QPointF(10, 10)).toPoint());
    QTRY_VERIFY(!tip->property("visible").toBool());
    QVERIFY(!evaluateOn(paused, "ToolTip.visible").toBool());

    // Resumed while another model downloads, the row waits its turn and the reason is gone.
    click(resume);
    QCOMPARE(state(broken), int(ModelListModel::Queued));
    QCOMPARE(evaluateOn(resume, "ToolTip.text").toString(), QString());
    click(findItem(row("broken"), "deleteButton"));
    QCOMPARE(state(broken), int(ModelListModel::NotDownloaded));
    QTest::mouseMove(window, QPoint(5, window->height() - 5));
}

void tst_ModelViews::deleteAsksFirstExceptForTheQueue()
{
    QObject *popup = findObject(top(), QStringLiteral("confirmDeletePopup"));
    QVERIFY(popup);
    const QString done = QDir(chat->oraculdDir()).filePath(QStringLiteral("done.gguf"));
    const int doneRow = downloader->modelList()->indexOf("done");

    // The queued model leaves the queue without a question.
    click(findItem(row("queued"), "deleteButton"));
    QCOMPARE(state(downloader->modelList()->indexOf("queued")), int(ModelListModel::NotDownloaded));
    QVERIFY(!popup->property("visible").toBool());

    click(findItem(row("done"), "deleteButton"));
    QTRY_VERIFY(popup->property("opened").toBool());
    QCOMPARE(popup->property("targetModelName").toString(), QStringLiteral("done"));
    QCOMPARE(popup->property("width").toDouble(), 300.0);
    QCOMPARE(popup->property("height").toDouble(), 160.0);
    // What the popup says, as shown: every text inside it, top to bottom.
    auto *content = qvariant_cast<QQuickItem *>(popup->property("contentItem"));
    QQuickItem *title = findItem(content, "deleteTitle");
    QQuickItem *explanation = findItem(content, "deleteExplanation");
    QQuickItem *cancel = findItem(content, "cancelButton");
    QQuickItem *confirm = findItem(content, "confirmDeleteButton");
    QVERIFY(title && explanation && cancel && confirm);
    const auto label = [](QQuickItem *button) {
        return button->property("buttonLabel").value<QObject *>()->property("text").toString();
    };
    QCOMPARE(title->property("text").toString(), QStringLiteral("Delete model?"));
    QCOMPARE(title->property("font").value<QFont>().pixelSize(), 14);
    QVERIFY(title->property("font").value<QFont>().bold());
    QCOMPARE(explanation->property("text").toString(),
        QStringLiteral("This will remove the downloaded data."));
    QCOMPARE(explanation->property("font").value<QFont>().pixelSize(), 12);
    QCOMPARE(explanation->opacity(), 0.8);
    QCOMPARE(label(cancel), QStringLiteral("Cancel"));
    QCOMPARE(label(confirm), QStringLiteral("Delete"));
    const QRectF box(content->mapToScene(QPointF(0, 0)), content->size());
    double above = box.top();
    for (QQuickItem *item : { title, explanation, cancel }) {
        const QRectF shown(item->mapToScene(QPointF(0, 0)), item->size());
        QVERIFY(item->isVisible() && box.contains(shown) && shown.top() >= above);
        QVERIFY(qAbs(shown.center().x() - box.center().x()) <= 40);
        above = shown.bottom();
    }
    QCOMPARE(cancel->size(), QSizeF(60, 30));
    QCOMPARE(confirm->size(), QSizeF(60, 30));
    QCOMPARE(
        findItem(top(), QStringLiteral("modelListView"))->property("spacing").toDouble(), 16.0);
    saveScreenshot(window, QStringLiteral("model-delete-popup"));

    // A press outside leaves it open.
    // The press is delivered before clickAt returns: a popup closed by it would be closing now.
    clickAt(QPointF(10, window->height() - 10));
    QVERIFY(popup->property("opened").toBool());
    QTest::keyClick(window, Qt::Key_Escape);
    QTRY_VERIFY(!popup->property("visible").toBool());
    QCOMPARE(state(doneRow), int(ModelListModel::Downloaded));

    click(findItem(row("done"), "deleteButton"));
    QTRY_VERIFY(popup->property("opened").toBool());
    click(findItem(qvariant_cast<QQuickItem *>(popup->property("contentItem")), "cancelButton"));
    QTRY_VERIFY(!popup->property("visible").toBool());
    QCOMPARE(state(doneRow), int(ModelListModel::Downloaded));
    QVERIFY(QFileInfo::exists(done));

    // The model to delete is listed and chosen for both kinds, as after its download.
    QMetaObject::invokeMethod(
        chat, "onModelDownloadCompleted", Q_ARG(QString, "done"), Q_ARG(QString, "retrieval"));
    chat->setAnswerLlm(QStringLiteral("done"));
    QCOMPARE(chat->answerLlm(), QStringLiteral("done"));
    QCOMPARE(chat->retrieveLlm(), QStringLiteral("done"));
    click(findItem(row("done"), "deleteButton"));
    QTRY_VERIFY(popup->property("opened").toBool());
    click(findItem(
        qvariant_cast<QQuickItem *>(popup->property("contentItem")), "confirmDeleteButton"));
    QTRY_VERIFY(!popup->property("visible").toBool());
    QCOMPARE(state(doneRow), int(ModelListModel::NotDownloaded));
    QVERIFY(!QFileInfo::exists(done));
    QVERIFY(!chat->llms().contains(QStringLiteral("done")));
    QCOMPARE(chat->answerLlm(), QString());
    QCOMPARE(chat->retrieveLlm(), QString());

    // The running download, confirmed, is gone with its file.
    click(findItem(row("running"), "deleteButton"));
    QTRY_VERIFY(popup->property("opened").toBool());
    click(findItem(
        qvariant_cast<QQuickItem *>(popup->property("contentItem")), "confirmDeleteButton"));
    QTRY_COMPARE(state(1), int(ModelListModel::NotDownloaded));
    QVERIFY(!downloader->isDownloading());

    click(findItem(top(), QStringLiteral("closeButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("genAIView"));
    // Neither list offers the deleted model, and neither shows it chosen.
    for (const char *name : { "genModelCombo", "retrievalModelCombo" }) {
        QQuickItem *combo = findItem(top(), QLatin1String(name));
        QVERIFY(combo);
        QVERIFY2(!combo->property("model").toStringList().contains(QStringLiteral("done")), name);
        QCOMPARE(combo->property("currentIndex").toInt(), -1);
    }
}

void tst_ModelViews::pausedDownloadIsNotOfferedAfterARestart()
{
    QCOMPARE(top()->objectName(), QStringLiteral("genAIView"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    QVERIFY(!downloader->isDownloading());
    downloader->setCatalogue({ testModel(BuiltInRetrieval,
        repository->url(QStringLiteral("slow"), QStringLiteral("slow.gguf")), BuiltInRetrievalSize,
        QStringLiteral("retrieval"), QStringLiteral("Snowflake Arctic (Retrieval)")) });
    const QStringList demoModels = { QStringLiteral("answer"), QStringLiteral("retrieval") };
    // The downloads are a local option; online again before a model is chosen.
    chat->setLocalAI(true);
    QTRY_VERIFY(findItem(top(), QStringLiteral("downloadButton"))->isEnabled());
    click(findItem(top(), QStringLiteral("downloadButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("modelDownload"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    chat->setLocalAI(false);

    QTRY_VERIFY(row(BuiltInRetrieval));
    click(findItem(row(BuiltInRetrieval), "downloadButton"));
    QCOMPARE(state(0), int(ModelListModel::Downloading));
    QTRY_VERIFY_WITH_TIMEOUT(
        downloader->modelList()->models().at(0).bytesReceived > 1000000, 20000);
    QTRY_VERIFY(findItem(row(BuiltInRetrieval), "pauseButton")->isVisible());
    click(findItem(row(BuiltInRetrieval), "pauseButton"));
    QCOMPARE(state(0), int(ModelListModel::Paused));
    const QString file = QDir(chat->oraculdDir()).filePath(BuiltInRetrieval + ".gguf");
    const qint64 partial = QFileInfo(file).size();
    QVERIFY(partial > 0 && partial < BuiltInRetrievalSize);
    click(findItem(top(), QStringLiteral("closeButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("genAIView"));
    verifyNeitherComboOffers(top(), BuiltInRetrieval, demoModels);
    if (QTest::currentTestFailed())
        return;

    // A change of folder and back reads the folder again, the paused row now not downloaded.
    QTemporaryDir other;
    chat->setOraculdDir(other.path());
    chat->setOraculdDir(QFileInfo(file).path());
    QCOMPARE(state(0), int(ModelListModel::NotDownloaded));
    verifyNeitherComboOffers(top(), BuiltInRetrieval, demoModels);
    if (QTest::currentTestFailed())
        return;

    // The program started again, on the same settings and model folder, with the built-in
    // catalogue.
    QProcess restarted;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(RestartRootVariable), privateRoot());
    restarted.setProcessEnvironment(environment);
    restarted.setProcessChannelMode(QProcess::MergedChannels);
    restarted.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("-o"), QStringLiteral("-,txt") });
    QVERIFY(restarted.waitForFinished(120000));
    const QByteArray output = restarted.readAll();
    QVERIFY2(restarted.exitStatus() == QProcess::NormalExit && restarted.exitCode() == 0,
        output.constData());
    QVERIFY2(output.contains("PASS   : tst_RestartedModelViews::partialModelIsInNeitherList()"),
        output.constData());
    QCOMPARE(QFileInfo(file).size(), partial);
}

// Run as root, as on this machine, the browser works only because the program started it so.
void tst_ModelViews::aboutPageBrowsesToTheLicenceAndBack()
{
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    click(findItem(top(), QStringLiteral("backButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("optionsView"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    click(findItem(top(), QStringLiteral("infoButton")));
    QTRY_VERIFY(findItem(top(), QStringLiteral("webView")));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    QQuickItem *web = findItem(top(), QStringLiteral("webView"));
    QQuickItem *home = findItem(top(), QStringLiteral("homeButton"));
    QQuickItem *back = findItem(top(), QStringLiteral("backPageButton"));
    QQuickItem *forward = findItem(top(), QStringLiteral("forwardPageButton"));
    QCOMPARE(home->size(), QSizeF(60, 60));

    QTRY_VERIFY_WITH_TIMEOUT(!web->property("loading").toBool()
            && web->property("title").toString() == QStringLiteral("About"),
        30000);
    QCOMPARE(web->property("url").toUrl(), QUrl(QStringLiteral("qrc:/about.html")));
    QVERIFY(!home->isEnabled());
    QVERIFY(!back->isEnabled());
    QVERIFY(!forward->isEnabled());
    // The browser paints after it has loaded: the screenshot waits for the page's text.
    QTRY_VERIFY_WITH_TIMEOUT(pageShown(web, true), 10000);
    saveScreenshot(window, QStringLiteral("about"));

    // Follow the page's own link as a person does, with a click on it: a link followed by a
    // script alone leaves no way back, as the browser skips pages nobody touched in its history.
    Probe probe;
    QQmlContext probeContext(qmlContext(web));
    probeContext.setContextProperty(QStringLiteral("probe"), &probe);
    QQmlExpression where(&probeContext, web,
        QStringLiteral(
            "runJavaScript(\"(function() { var r = document.querySelector("
            "'a[href=\\\"License.txt\\\"]').getBoundingClientRect(); return [r.left + "
            "r.width / 2, r.top + r.height / 2] })()\", function(r) { probe.value = r })"));
    where.evaluate();
    QVERIFY(!where.hasError());
    QTRY_VERIFY(probe.value.isValid());
    const QVariantList link = probe.value.toList();
    QCOMPARE(link.size(), 2);
    clickAt(web->mapToScene(QPointF(link.at(0).toDouble(), link.at(1).toDouble())));
    QTRY_COMPARE_WITH_TIMEOUT(
        web->property("url").toUrl(), QUrl(QStringLiteral("qrc:/License.txt")), 20000);
    QTRY_VERIFY(!web->property("loading").toBool());
    QVERIFY(home->isEnabled());
    QTRY_VERIFY(back->isEnabled());
    QVERIFY(!forward->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(pageShown(web, false), 10000);
    saveScreenshot(window, QStringLiteral("about-license"));

    click(back);
    QTRY_COMPARE_WITH_TIMEOUT(
        web->property("url").toUrl(), QUrl(QStringLiteral("qrc:/about.html")), 20000);
    QTRY_VERIFY(forward->isEnabled());
    QVERIFY(!home->isEnabled());
    click(forward);
    QTRY_COMPARE_WITH_TIMEOUT(
        web->property("url").toUrl(), QUrl(QStringLiteral("qrc:/License.txt")), 20000);
    click(home);
    QTRY_COMPARE_WITH_TIMEOUT(
        web->property("url").toUrl(), QUrl(QStringLiteral("qrc:/about.html")), 20000);
    QTRY_VERIFY(!home->isEnabled());

    // And back to the options: the program and its window live on.
    click(findItem(top(), QStringLiteral("backButton")));
    QTRY_COMPARE(top()->objectName(), QStringLiteral("optionsView"));
    QTRY_COMPARE(stack->property("busy").toBool(), false);
    QVERIFY(window->isVisible());
    saveScreenshot(window, QStringLiteral("about-left"));
#ifdef Q_OS_UNIX
    QCOMPARE(sandboxLines.size(), ::geteuid() == 0 ? 1 : 0);
#endif
}

// The program as a user starts it again after a download was paused: the settings and the model
// folder of the first run, the built-in catalogue.
class tst_RestartedModelViews : public QObject
{
    Q_OBJECT

private slots:
    void partialModelIsInNeitherList()
    {
        auto *engine = qApp->findChild<ComponentCreatorEngine *>();
        QVERIFY(engine);
        Chat *chat = engine->findChild<Chat *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(chat);
        const ModelListModel *catalogue = chat->modelDownloader()->modelList();
        const int row = catalogue->indexOf(BuiltInRetrieval);
        QCOMPARE(catalogue->models().at(row).state, int(ModelListModel::NotDownloaded));
        const QString file = QDir(chat->oraculdDir()).filePath(BuiltInRetrieval + ".gguf");
        QVERIFY(QFileInfo(file).size() > 0 && QFileInfo(file).size() < BuiltInRetrievalSize);

        QQuickWindow *window = mainWindow();
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        QQuickItem *stack = findItem(window, QStringLiteral("mainStack"));
        const auto top = [stack] { return stack->property("currentItem").value<QQuickItem *>(); };
        const auto click = [window](QQuickItem *item) {
            QVERIFY(item);
            QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier,
                item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint());
        };
        click(findItem(top(), QStringLiteral("optionsButton")));
        QTRY_COMPARE(top()->objectName(), QStringLiteral("optionsView"));
        QTRY_COMPARE(stack->property("busy").toBool(), false);
        click(findItem(top(), QStringLiteral("genAIButton")));
        QTRY_COMPARE(top()->objectName(), QStringLiteral("genAIView"));
        QTRY_COMPARE(stack->property("busy").toBool(), false);
        verifyNeitherComboOffers(top(), BuiltInRetrieval, { "answer", "retrieval" });
        if (QTest::currentTestFailed())
            return;
        // What the user sees: the open list of answer models.
        click(findItem(top(), QStringLiteral("localRadioBtn")));
        QTRY_VERIFY(chat->localAI());
        QQuickItem *answers = findItem(top(), QStringLiteral("genModelCombo"));
        QTRY_VERIFY(answers->isEnabled());
        click(answers);
        auto *popup = answers->property("popup").value<QObject *>();
        QTRY_VERIFY(popup->property("opened").toBool());
        QCOMPARE(answers->property("count").toInt(), chat->llms().size());
        saveScreenshot(window, QStringLiteral("model-settings-after-restart"));
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!popup->property("visible").toBool());
    }
};

int main(int argc, char **argv)
{
    const bool restarted = qEnvironmentVariableIsSet(RestartRootVariable);
    isolate();
    if (!restarted) {
        storeLocalDemoSettings();
        QSettings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"))
            .setValue(QStringLiteral("localAI"), false);
    }
    qputenv("QUORVANE_SERVICE_URL", QByteArrayLiteral("ws://127.0.0.1:9/connection"));
    clearSandboxSwitches();
    passOn = qInstallMessageHandler(recordSandboxLines);
    Application::prepare();
    Application app(argc, argv);
    if (restarted) {
        tst_RestartedModelViews test;
        return QTest::qExec(&test, argc, argv);
    }
    tst_ModelViews test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modelviews.moc"
