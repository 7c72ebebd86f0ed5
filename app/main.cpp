#include <QApplication>
#include <QtDebug>

#include "app/camera.h"
#include "app/terminationsignals.h"
#include "capture/appdatafolder.h"
#include "capture/messagelog.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Before the window reads its files, so that what it says about them is kept too.
    MessageLogFile log(applicationDataFolder());
    qInfo("IP Surveillance started");
    int result = 0;
    {
        Camera window;
        closeOnTerminationSignals(&window);
        window.show();
        result = app.exec();
    }
    qInfo("IP Surveillance closed");
    return result;
}
