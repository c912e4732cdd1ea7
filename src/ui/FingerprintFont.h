#pragma once
// The font a key's or a certificate's fingerprint is shown in: evenly wide, so that its characters line
// up in columns as the user compares them with the fingerprint given elsewhere.
#include <QFont>

// The system's fixed-width font when it is evenly wide, else the first evenly wide one of a few monospaced
// families (at the system font's size), else the system's after all.
QFont FingerprintFont();
