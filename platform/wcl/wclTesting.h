#pragma once
// Hooks for tests and benchmarks of the Bluetooth library. The program itself
// never calls these.

#include <QtGlobal>

namespace wcl::testing {

// Bound of every ordinary D-Bus call (default 3000 ms).
void setCallTimeoutMs(int ms);
int callTimeoutMs();
// Bound of a whole pairing (default 30000 ms).
void setPairTimeoutMs(int ms);
int pairTimeoutMs();
// D-Bus calls the library has made so far (round trips; signals not counted).
quint64 roundTrips();

} // namespace wcl::testing
