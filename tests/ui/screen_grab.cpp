// Saves a rectangle of the X screen as a PNG: the screenshot script's camera.
// usage: vesk_screen_grab X Y WIDTH HEIGHT OUT.png
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: vesk_screen_grab X Y WIDTH HEIGHT OUT.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = screen ? screen->grabWindow(0, std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                                                     std::atoi(argv[4]))
                                : QPixmap();
    if (shot.isNull() || !shot.save(argv[5], "PNG")) {
        std::fprintf(stderr, "vesk_screen_grab: cannot take or save the picture\n");
        return 1;
    }
    return 0;
}
