// Production entry point: no arguments, no environment; every endpoint is
// compiled in.
#include "core/main.h"

int main()
{
    MAIN_Run();
}
