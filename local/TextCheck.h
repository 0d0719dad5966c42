#pragma once

#include <QString>

class QJsonObject;
struct DBT_Job;
struct DBT_Plan;
struct DBT_Testcase;

// Text a client gives must come back as it was given. Neither database can
// keep a NUL character or half a surrogate pair as they are (PostgreSQL
// refuses the one and replaces the other, SQLite cuts or merges them), so
// such text is refused before anything is stored, naming the field.
namespace TextCheck {

// What is wrong with `text` as stored text ("a NUL character", "an unpaired
// surrogate (U+D800)"), or an empty text when nothing is.
QString Problem(const QString& text);

// "title holds a NUL character" for the first field of the record whose text
// cannot be stored; empty when all can.
QString Refusal(const DBT_Testcase& tc);
QString Refusal(const DBT_Plan& plan);
QString Refusal(const DBT_Job& job);

// `text` as it can be stored: NUL characters and unpaired surrogates become
// U+FFFD. For text the system writes itself from what scripts and devices
// said (remarks, reasons), which must be kept whatever it holds.
QString Storable(const QString& text);

} // namespace TextCheck
