#pragma once

#include <QString>
#include <functional>

// Device code "MJ-XXXX-XXXX-XXXX-XXXX": derived once from hardware serials (or the machine id and
// host name where no hardware query exists), then kept in the per-user settings under "machineCode".
QString computeMachineCode();
// Hardware serials joined by "|"; empty where the query is unavailable or fails.
QString hardwareFingerprint();
// 16 hexadecimal digits to "MJ-XXXX-XXXX-XXXX-XXXX".
QString formatMachineCode(const QString &hex16);

namespace MachineCode {
// Test hooks: replace the hardware query, and forget the in-memory copy of the code.
void setFingerprintProvider(std::function<QString()> provider);
void resetCache();
} // namespace MachineCode
