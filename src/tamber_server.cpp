#include "core/tb_start.hpp"

int main(int argc, char** argv) { return tamber_main(argc, argv); }
