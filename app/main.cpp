#include <QApplication>

#include "app/camera.h"
#include "app/terminationsignals.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    int result = 0;
    {
        Camera window;
        closeOnTerminationSignals(&window);
        window.show();
        result = app.exec();
    }
    return result;
}
