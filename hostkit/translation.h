#pragma once

#include "hostkit_export.h"

#include <QString>

#include <type_traits>

// Message lookup in gettext catalogues. A domain is a catalogue name; each lookup takes an
// optional disambiguating context and the source text, and returns the source text itself
// when the catalogue has no translation for it.
namespace HostKit
{
HOSTKIT_EXPORT void bindTranslationDomain(const char *domain, const QString &directory);
[[nodiscard]] HOSTKIT_EXPORT QString translate(const char *domain, const char *context, const char *text);

namespace Detail
{
// Numbers are accepted for convenience; everything else goes to QString::arg() as given.
template<typename T> decltype(auto) substitutionArgument(const T &value)
{
    if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
        return QString::number(value);
    else
        return (value);
}

template<typename... Args> QString substitute(const QString &text, const Args &...args)
{
    if constexpr (sizeof...(Args) == 0)
        return text;
    else
        // The multi-argument arg() replaces all placeholders in one pass, so a "%2" that comes in
        // with the first argument is left alone.
        return text.arg(substitutionArgument(args)...);
}
} // namespace Detail

template<typename... Args> [[nodiscard]] QString i18nd(const char *domain, const char *text, const Args &...args)
{
    return Detail::substitute(translate(domain, nullptr, text), args...);
}

template<typename... Args> [[nodiscard]] QString i18ndc(const char *domain, const char *context, const char *text, const Args &...args)
{
    return Detail::substitute(translate(domain, context, text), args...);
}
} // namespace HostKit
