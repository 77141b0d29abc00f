#include "app/studio_app.h"

int main(int argc, char* argv[])
{
    return corvex::app::StudioApp::main(argc, argv);
}
