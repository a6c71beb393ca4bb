#include "secrets/keychainstore.h"

#include "core/blockingwork.h"
#include "core/logging.h"

#include <libsecret/secret.h>

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QStringDecoder>

#include <QCoro/QCoroSignal>

#include <atomic>
#include <memory>
#include <string>

namespace {

// Matches items whatever schema name they were stored with (secret-tool stores
// its own), by the two attributes alone.
const SecretSchema &vorsikSchema()
{
    static const SecretSchema schema = {
        "com.plumrest.Vorsik.Password",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            { "service", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "account", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING },
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return schema;
}

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};

// Logs and clears a failure of the Secret Service; its message names the step, never a secret.
void warnAbout(GError *&error, const char *step)
{
    if (error && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        qCWarning(lcCore) << "keyring:" << step << "failed:" << error->message;
    g_clear_error(&error);
}

std::optional<std::string> secretOf(SecretItem *item)
{
    SecretValue *value = secret_item_get_secret(item);
    if (!value)
        return std::nullopt;
    std::optional<std::string> result;
    gsize length = 0;
    if (const gchar *bytes = secret_value_get(value, &length))
        result.emplace(bytes, length);
    secret_value_unref(value);
    return result;
}

// Runs on a worker thread; the secret bytes never leave it except as the result.
// `prompting` is raised while the Secret Service shows its unlock prompt, which
// the caller gives the user's time rather than the service's.
std::optional<std::string> lookup(const std::string &account, GCancellable *cancellable, std::atomic<bool> &prompting)
{
    GError *error = nullptr;
    std::unique_ptr<SecretService, GObjectDeleter> service(
        secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, &error));
    if (!service) {
        // GLib's reason talks of buses and displays; it is for whoever debugs the set-up.
        qCWarning(lcCore) << "keyring: the Secret Service cannot be reached";
        qCDebug(lcCore) << "keyring:" << (error ? error->message : "no reason given");
        g_clear_error(&error);
        return std::nullopt;
    }

    GHashTable *attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char *>("service"), const_cast<char *>(KeychainStore::service));
    g_hash_table_insert(attributes, const_cast<char *>("account"), const_cast<char *>(account.c_str()));
    // Unlocking is asked for separately below, so that it is only raised when no
    // unlocked item already holds the key.
    GList *items = secret_service_search_sync(service.get(), &vorsikSchema(), attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), cancellable, &error);
    g_hash_table_unref(attributes);
    warnAbout(error, "the search");

    std::optional<std::string> result;
    GList *locked = nullptr;
    for (GList *node = items; node && !result; node = node->next) {
        if (secret_item_get_locked(SECRET_ITEM(node->data)))
            locked = g_list_append(locked, node->data);
        else
            result = secretOf(SECRET_ITEM(node->data));
    }

    if (!result && locked) {
        // The desktop shows its own prompt; a declined or failed one leaves nothing unlocked.
        GList *unlocked = nullptr;
        prompting = true;
        secret_service_unlock_sync(service.get(), locked, cancellable, &unlocked, &error);
        warnAbout(error, "unlocking");
        if (!unlocked)
            qCWarning(lcCore) << "keyring: the unlock was declined";
        // The service hands back the very items it unlocked.
        for (GList *node = unlocked; node && !result; node = node->next) {
            if (!SECRET_IS_ITEM(node->data))
                continue;
            if (secret_item_load_secret_sync(SECRET_ITEM(node->data), cancellable, &error))
                result = secretOf(SECRET_ITEM(node->data));
            warnAbout(error, "loading an unlocked secret");
        }
        g_list_free_full(unlocked, g_object_unref);
    }
    g_list_free(locked);
    g_list_free_full(items, g_object_unref);
    return result;
}

} // namespace

KeychainStore::KeychainStore(std::chrono::milliseconds timeout, std::chrono::milliseconds unlockTimeout)
    : m_timeout(timeout)
    , m_unlockTimeout(unlockTimeout)
{
}

QCoro::Task<std::optional<QString>> KeychainStore::read(QString account)
{
    // Copied before the first wait: the store may be gone when the answer comes.
    const std::chrono::milliseconds timeout = m_timeout, unlockTimeout = m_unlockTimeout;
    QElapsedTimer clock;
    clock.start();

    // The search runs on a worker so that a stalled or absent service can be abandoned after
    // the time-out; the caller's thread keeps running meanwhile.
    std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), g_object_unref);
    auto prompting = std::make_shared<std::atomic<bool>>(false);
    QFutureWatcher<std::optional<std::string>> watcher;
    watcher.setFuture(BlockingWork::run([account = account.toStdString(), cancellable, prompting] {
        return lookup(account, cancellable.get(), *prompting);
    }));

    // The watcher reports a finish that happened before the wait began, too.
    if (!watcher.isFinished())
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, timeout);
    if (!watcher.isFinished() && *prompting)
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, unlockTimeout);
    if (!watcher.isFinished()) {
        g_cancellable_cancel(cancellable.get());
        qCWarning(lcCore) << "keyring: no answer after" << clock.elapsed() << "ms, read as no key";
        co_return std::nullopt;
    }
    std::optional<std::string> bytes = watcher.future().takeResult();
    qCDebug(lcCore) << "keyring:" << (bytes ? "found" : "no") << "item after" << clock.elapsed() << "ms";
    if (!bytes)
        co_return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes->data(), static_cast<qsizetype>(bytes->size())));
    std::fill(bytes->begin(), bytes->end(), '\0');
    if (decoder.hasError()) {
        qCWarning(lcCore) << "keyring: the item is not UTF-8 text, read as no key";
        co_return std::nullopt;
    }
    co_return text;
}
