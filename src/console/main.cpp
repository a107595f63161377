// korvalin without the desktop front end: the console front end only.

#include "console/ConsoleMain.h"

int main(int argc, char** argv) {
    return korv::RunConsole(argc, argv);
}
