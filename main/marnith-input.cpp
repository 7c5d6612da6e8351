// Entry point: one job per process, chosen by the first argument.
#include "main/dispatch.h"

int main(int argc, char** argv) {
    State state = startUp(argc, argv);
    return dispatch(state);
}
