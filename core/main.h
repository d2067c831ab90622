// Supervisor: start-up, worker threads, keep-alives, modem bring-up and
// shutdown. MAIN_Run is the whole life of the process and ends in exit(0).
#pragma once

[[noreturn]] void MAIN_Run();
