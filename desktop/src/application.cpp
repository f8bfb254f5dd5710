#include "application.h"

#include "chat.h"
#include "combinedsearchmodel.h"
#include "componentcreatorengine.h"
#include "doc.h"
#include "doclist.h"
#include "docproxylist.h"
#include "llmclient.h"
#include "message.h"
#include "modellistmodel.h"

#include <folioscope/folioscope.h>

#include <QIcon>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QtWebEngineQuick>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// The event of QQuickWindow::closing is private to Qt Quick; the hook never looks into it.
Q_DECLARE_OPAQUE_POINTER(QQuickCloseEvent *)

namespace {
const QString resourceBase = QStringLiteral("qrc:/app/");
}

void Application::prepare()
{
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));
    QCoreApplication::setOrganizationName(QStringLiteral("Halvenmor"));
    QCoreApplication::setApplicationVersion(QStringLiteral("6.8.0"));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
#ifdef Q_OS_UNIX
    // Chromium's sandbox cannot run for root, and QtWebEngine then ends the whole program at the
    // first web view; it reads the switch once, when it starts.
    if (::geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        qWarning("Quorvane: running as root, so the about page's browser runs without its sandbox");
    }
#endif
    // The about page's browser shares the OpenGL contexts, which must be set up before the
    // application object exists.
    QtWebEngineQuick::initialize();
}

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setWindowIcon(QIcon(QStringLiteral(":/windows/resources/halvenmor_logo_for_icon_16x16.png")));

    // TLS keeps Qt's default certificate verification: the online service and the model
    // repository carry the user's questions, documents and access token.

    qmlEngine = new ComponentCreatorEngine(this);
    qmlEngine->addImportPath(resourceBase + QStringLiteral("component_library"));

    chatFacade = new Chat(qmlEngine);
    connectViewer();

    QQmlContext *context = qmlEngine->rootContext();
    context->setContextProperty(QStringLiteral("QmlEngine"), qmlEngine);
    context->setContextProperty(QStringLiteral("Chat"), chatFacade);
    context->setContextProperty(QStringLiteral("isDebug"), false);
    context->setContextProperty(QStringLiteral("DocsProxy"), chatFacade->docsProxy());
    context->setContextProperty(QStringLiteral("Docs"), chatFacade->docs());

    qRegisterMetaType<Message *>("Message*");
    qmlRegisterUncreatableType<Doc>(
        "CustomComponents", 1, 0, "Doc", QStringLiteral("Documents come from the document list"));
    qmlRegisterUncreatableType<ModelListModel>(
        "CustomComponents", 1, 0, "ModelListModel", QStringLiteral("Enum container"));

    QQmlComponent component(qmlEngine, QUrl(resourceBase + QStringLiteral("main.qml")));
    mainWindow = component.create(context);
    if (!mainWindow)
        qWarning().noquote() << "Quorvane: the main window could not be created:"
                             << component.errorString();
    if (auto *window = qobject_cast<QQuickWindow *>(mainWindow)) {
        window->show();
        connect(window, &QQuickWindow::closing, this, [this]() {
            if (pdfViewer)
                pdfViewer->close();
        });
    }

    // A top-level window of its own, hidden until a document is opened in it.
    pdfViewer = new Folioscope();

    connect(this, &QCoreApplication::aboutToQuit, [this]() {
        if (LLMClient *client = chatFacade->llmClient())
            client->stopServer();
    });
}

// The viewer goes first, while the documents it shows still exist; then the window, before the
// engine and the objects its bindings read.
Application::~Application()
{
    delete pdfViewer;
    pdfViewer = nullptr;
    delete mainWindow;
}

void Application::connectViewer()
{
    DocList *docs = chatFacade->docs();
    connect(docs, &DocList::pdfDoubleClicked, this,
        [this](QPdfDocument *document, const QString &fileName) {
            if (!pdfViewer)
                return;
            pdfViewer->setWindowTitle(fileName);
            pdfViewer->clearHighlights();
            pdfViewer->open(document);
            pdfViewer->show();
            pdfViewer->jumpToHighlights();
        });
    connect(docs, &DocList::highlightPdfRef, this,
        [this](QPdfDocument *document, const QString &fileName, const Chunk &chk) {
            if (!pdfViewer)
                return;
            pdfViewer->setWindowTitle(fileName);
            pdfViewer->setHighlight(chk);
            pdfViewer->open(document);
            pdfViewer->show();
            pdfViewer->jumpToHighlights();
        });
    connect(docs, &DocList::closeDoc, this, [this](const QPdfDocument *document) {
        if (pdfViewer)
            pdfViewer->closeDocument(document);
    });
    connect(docs, &DocList::closeDocs, this, [this]() {
        if (pdfViewer)
            pdfViewer->closeOpenDocument();
    });
    connect(chatFacade->searchModel(), &CombinedSearchModel::searchItemClicked, this,
        [this](QPdfSearchModel *model, const QString &fileName, int searchIndex) {
            // The model is gone when its document left the list after the hit was listed.
            if (!pdfViewer || !model)
                return;
            pdfViewer->setWindowTitle(fileName);
            pdfViewer->clearHighlights();
            pdfViewer->open(model->document());
            // A file row sends -1: the document opens without replacing the shown hits.
            if (model->index(searchIndex, 0).isValid())
                pdfViewer->setSearchHighlights(model, searchIndex);
            pdfViewer->show();
        });
}
