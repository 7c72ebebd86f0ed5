#include <QApplication>

#include "app/camera.h"
#include "app/terminationsignals.h"
#include "capture/opengate.h"

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
    // The window is gone and every file complete; a camera's open or read still blocked on the
    // network ends within its time-out, and must not be inside the video library while the
    // process tears it down.
    DetachedCalls::waitForAll(6000);
    return result;
}
