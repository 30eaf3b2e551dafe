// Orvex Qt shell: turning table texts into Qt strings.
#ifndef QUENVAR_APP_QTSHELL_QT_TEXT_H_
#define QUENVAR_APP_QTSHELL_QT_TEXT_H_

#include <QString>
#include <string>
#include <string_view>

namespace quenvar::app {

// The tables break lines with "\r\n" (some with a lone "\n"); Qt widgets break on "\n" alone.
inline QString ToQString(std::u16string_view text) {
  QString out = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

inline std::u16string FromQString(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

}  // namespace quenvar::app

#endif  // QUENVAR_APP_QTSHELL_QT_TEXT_H_
