#pragma once

#include <QString>

// A mainland mobile number: after trimming, "1" followed by ten digits. Shared by the sign-in
// window and the profile page so both accept exactly the same numbers.
bool isValidPhone(const QString &text);
