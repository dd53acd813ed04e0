// The scriptable USBTMC device of the host tests, built into this binary too:
// the fault rows that sgsim cannot show (bad headers, stale tags, NUL bytes,
// stalls) are driven through it.
#include "../usbtmc/fake_usbtmc_device.cpp"  // NOLINT(bugprone-suspicious-include)
