// The process entry: one option command from the console, or the service.
#pragma once

enum class Option { None, Install, Remove, Version };

// The option word of the first argument after "-" or "/", any case, whole word; later
// arguments are not looked at.
Option ParseOption(int argCount, char** argVector);

// The whole program behind main. The exit status: for the commands 0, or 1 when they
// printed a failure; for the service 0 when it stopped cleanly, 1 otherwise.
int CorvaneMain(int argCount, char** argVector);
