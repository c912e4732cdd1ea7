#include "ui/WispApp.h"

int main(int argc, char** argv) {
    WispApp app(argc, argv);
    return app.Run();
}
