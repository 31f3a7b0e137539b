#include "translation.h"

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <cstring>
#include <libintl.h>

namespace HostKit
{
namespace
{
// Domains bound so far, by the host (through bindTranslationDomain() or gettext's own
// bindtextdomain()) or by a first lookup; a binding made by the host must not be overwritten
// by the default one.
QMutex boundDomainsMutex;
QSet<QByteArray> boundDomains;

void bindLocked(const char *domain, const QByteArray &directory)
{
    bindtextdomain(domain, directory.constData());
    bind_textdomain_codeset(domain, "UTF-8");
    boundDomains.insert(QByteArray(domain));
}

// Where gettext looks for a domain nobody has bound.
QByteArray defaultDirectory()
{
    return QByteArray(bindtextdomain("hostkit-never-bound-domain", nullptr));
}

void ensureBound(const char *domain)
{
    QMutexLocker locker(&boundDomainsMutex);
    if (boundDomains.contains(QByteArray(domain)))
        return;
    // A host may have called bindtextdomain() itself: its folder wins over ours, and only
    // the codeset, which Qt's UTF-16 conversion needs, is set.
    const QByteArray current(bindtextdomain(domain, nullptr));
    if (current != defaultDirectory()) {
        bind_textdomain_codeset(domain, "UTF-8");
        boundDomains.insert(QByteArray(domain));
        return;
    }
    bindLocked(domain, QByteArrayLiteral(HOSTKIT_LOCALE_DIR));
}
} // namespace

void bindTranslationDomain(const char *domain, const QString &directory)
{
    if (!domain || !*domain)
        return;
    QMutexLocker locker(&boundDomainsMutex);
    bindLocked(domain, QFile::encodeName(directory));
}

QString translate(const char *domain, const char *context, const char *text)
{
    // gettext maps the empty text to the catalogue's header, which is never what a caller wants.
    if (!text || !*text)
        return {};
    if (!domain || !*domain)
        return QString::fromUtf8(text);

    ensureBound(domain);

    if (!context)
        return QString::fromUtf8(dgettext(domain, text));

    // glibc has no pgettext(): a message with a context is stored under "context\004text".
    const QByteArray key = QByteArray(context) + '\004' + text;
    const char *translated = dgettext(domain, key.constData());
    if (translated == key.constData() || std::strcmp(translated, key.constData()) == 0)
        return QString::fromUtf8(text);
    return QString::fromUtf8(translated);
}
} // namespace HostKit
