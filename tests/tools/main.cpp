// One program for the folder; each file holds one test object.
#include <QGuiApplication>

int runCorvexCliTests(int argc, char** argv);
int runCorvexPreviewTests(int argc, char** argv);

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    int status = 0;
    status |= runCorvexCliTests(argc, argv);
    status |= runCorvexPreviewTests(argc, argv);
    return status;
}
