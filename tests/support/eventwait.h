#pragma once

#include <functional>

// Runs a real event loop until predicate() holds or timeoutMs pass; true when it holds.
// Unlike QTest::qWaitFor, which sleeps 10 ms between event batches, sockets served by a
// ScriptedServer on the same thread are handled as soon as data arrives, so large bodies
// move at loopback speed.
bool waitUntil(const std::function<bool()> &predicate, int timeoutMs = 10000);
