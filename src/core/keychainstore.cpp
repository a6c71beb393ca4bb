#include "keychainstore.h"

#include <libsecret/secret.h>

#include <QStringDecoder>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

// Matches items whatever schema name they were stored with (secret-tool stores
// its own), by the two attributes alone.
const SecretSchema &vorsikSchema()
{
    static const SecretSchema schema = {
        "com.plumrest.Vorsik.Password",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return schema;
}

struct GObjectDeleter
{
    void operator()(gpointer object) const { g_object_unref(object); }
};

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
std::optional<std::string> lookup(const std::string &account, GCancellable *cancellable,
                                  std::atomic<bool> &prompting)
{
    GError *error = nullptr;
    std::unique_ptr<SecretService, GObjectDeleter> service(
        secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, &error));
    if (!service) {
        g_clear_error(&error);
        return std::nullopt;
    }

    GHashTable *attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char *>("service"), const_cast<char *>(KeychainStore::service));
    g_hash_table_insert(attributes, const_cast<char *>("account"), const_cast<char *>(account.c_str()));
    // Unlocking is asked for separately below, so that it is only raised when no
    // unlocked item already holds the key.
    GList *items = secret_service_search_sync(service.get(), &vorsikSchema(), attributes,
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                                              cancellable, &error);
    g_hash_table_unref(attributes);
    g_clear_error(&error);

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
        g_clear_error(&error);
        // The service hands back the very items it unlocked.
        for (GList *node = unlocked; node && !result; node = node->next) {
            if (!SECRET_IS_ITEM(node->data))
                continue;
            if (secret_item_load_secret_sync(SECRET_ITEM(node->data), cancellable, &error))
                result = secretOf(SECRET_ITEM(node->data));
            g_clear_error(&error);
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

std::optional<QString> KeychainStore::read(const QString &account)
{
    // The search runs on its own thread so that a stalled or absent service can be
    // abandoned after the time-out instead of freezing the caller.
    std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), g_object_unref);
    std::promise<std::optional<std::string>> promise;
    std::future<std::optional<std::string>> future = promise.get_future();
    auto prompting = std::make_shared<std::atomic<bool>>(false);
    std::thread([promise = std::move(promise), account = account.toStdString(), cancellable, prompting]() mutable {
        promise.set_value(lookup(account, cancellable.get(), *prompting));
    }).detach();

    bool ready = future.wait_for(m_timeout) == std::future_status::ready;
    if (!ready && *prompting)
        ready = future.wait_for(m_unlockTimeout) == std::future_status::ready;
    if (!ready) {
        g_cancellable_cancel(cancellable.get());
        return std::nullopt;
    }
    std::optional<std::string> bytes = future.get();
    if (!bytes)
        return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes->data(), static_cast<qsizetype>(bytes->size())));
    std::fill(bytes->begin(), bytes->end(), '\0');
    if (decoder.hasError())
        return std::nullopt;
    return text;
}
