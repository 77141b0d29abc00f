// One program for the folder; each file holds one test object.
int runRecordTests(int argc, char** argv);
int runAnalysisRecorderTests(int argc, char** argv);
int runBlackBarTests(int argc, char** argv);

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int status = 0;
    status |= runRecordTests(argc, argv);
    status |= runAnalysisRecorderTests(argc, argv);
    status |= runBlackBarTests(argc, argv);
    return status;
}
