// Modem AT commands on the modem's own port: one fixed command per
// function, followed by a short wait for any reply. No state.
#pragma once
#include <cstdint>

// Each returns 0 when the modem answered with at least one byte within
// 0.1 s of silence, -1 for handle -1 (nothing written) or no answer.
int32_t gsmEnableState(int32_t fd);
int32_t gsmDisableState(int32_t fd);
int32_t gsmReset(int32_t fd);
int32_t gsmRegNetwork(int32_t fd);
