#pragma once
// New mail messages handed to the user's mail program or to a webmail service in the browser. The
// program never attaches files and never sends mail itself.

#include <QString>
#include <QStringList>
#include <QUrl>

// The mail choices in the order the chooser menu lists them.
enum class MailChoice { DefaultProgram, Gmail, Yandex, MailRu, Outlook };

// The chooser's entry texts, in MailChoice order.
QStringList mailChoiceTexts();

// The compose address of a choice with the subject and body filled in.
QUrl mailComposeUrl(MailChoice choice, const QString& subject, const QString& body);

// Opens that address through the desktop services; a failure is silent by design.
void openMailCompose(MailChoice choice, const QString& subject, const QString& body);

// The subject and body of the message that carries a study archive.
QString mailSubject(const QString& patientName);
QString mailBody(const QString& archivePath);
