#include "app/application.h"

int main(int argc, char** argv) { return tolvarine::operator_control::run_application(argc, argv); }
