#ifndef APPLICATION_H
#define APPLICATION_H

#include <QApplication>

class Chat;
class ComponentCreatorEngine;
class Folioscope;

// The desktop program's application object: builds the QML engine and the chat facade, publishes
// them to QML, shows the main window with the PDF viewer window wired to the document list, and
// stops the inference server on quit.
class Application : public QApplication
{
public:
    // What must hold before the application object exists: identity, graphics back end, and a
    // browser that can start for the user running the program.
    static void prepare();

    Application(int &argc, char **argv);
    ~Application() override;

private:
    void connectViewer();

    ComponentCreatorEngine *qmlEngine = nullptr;
    Chat *chatFacade = nullptr;
    QObject *mainWindow = nullptr;
    Folioscope *pdfViewer = nullptr;
};

#endif // APPLICATION_H
