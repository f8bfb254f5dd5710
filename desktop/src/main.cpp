#include "application.h"

int main(int argc, char **argv)
{
    Application::prepare();
    Application app(argc, argv);
    return app.exec();
}
