#pragma once

#include <QString>

class QWidget;

enum class LegalDocument { UserAgreement, PrivacyPolicy };

// "用户协议" or "隐私政策".
QString legalTitle(LegalDocument document);
// The grey date paragraph followed by the document body, as HTML.
QString legalHtml(LegalDocument document);
// Shows the document in a modal card centred on the parent's top-level window; returns when closed.
void showLegalDialog(QWidget *parent, LegalDocument document);
