#pragma once

#include <QDate>
#include <QString>

// What the launcher says about its own build: the version string and the
// build date shown under the nickname field.
namespace BuildInfo {

// The launcher's version, the same that the update check sends.
QString version();

// The build date as the compiler writes it ("Dec 30 2023", "Jan  5 2024"):
// the VARO_BUILD_DATE setting of the build when given, else __DATE__.
QString compilerDate();

// Converts a compiler date ("Mmm dd yyyy", English month abbreviation) to a
// date. A year of 98 or less is taken as 2000 + year. Invalid when the text
// does not have that form.
QDate parseCompilerDate(const QString &text);

// The build date formatted "dd.MM.yyyy"; empty when it cannot be read.
QString buildDate();

// "Версия 1.0.0.0 от 30.12.2023".
QString versionText();

} // namespace BuildInfo
