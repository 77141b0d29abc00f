// One program for the folder; each file holds one test object.
int runMediaTests(int argc, char** argv);
int runAudioTests(int argc, char** argv);

int main(int argc, char** argv)
{
    int status = 0;
    status |= runMediaTests(argc, argv);
    status |= runAudioTests(argc, argv);
    return status;
}
