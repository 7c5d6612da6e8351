// Entry point: one job per process, chosen by the first argument.
#include "main/state.h"

int main(int argc, char** argv) {
    startUp(argc, argv);
    return dispatch();
}
