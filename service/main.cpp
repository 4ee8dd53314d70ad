#include "service/entry.h"

int main(int argCount, char** argVector) {
    return CorvaneMain(argCount, argVector);
}
