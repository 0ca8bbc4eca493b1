#pragma once

#include <QString>

// The legal documents' HTML, converted once on first use and kept until exit.
const QString &legalDateParagraph();
const QString &userAgreementBody();
const QString &privacyPolicyBody();
