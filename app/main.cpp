#include <QApplication>

#include "app/camera.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    int result = 0;
    {
        Camera window;
        window.show();
        result = app.exec();
    }
    return result;
}
