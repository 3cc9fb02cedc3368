// Zandor: several people, one MUD, one shared connection.
#include "gateway/inicio.h"

int main(int argc, char** argv) { return zandor::inicia(argc, argv); }
