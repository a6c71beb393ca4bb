#include "keychainstore.h"

#include <libsecret/secret.h>

#include <QStringDecoder>

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

// Runs on a worker thread; the secret bytes never leave it except as the result.
std::optional<std::string> lookup(const std::string &account, GCancellable *cancellable)
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
    // No SECRET_SEARCH_UNLOCK: a locked item is left locked and reads as none.
    GList *items = secret_service_search_sync(service.get(), &vorsikSchema(), attributes, SECRET_SEARCH_LOAD_SECRETS,
                                              cancellable, &error);
    g_hash_table_unref(attributes);
    g_clear_error(&error);

    std::optional<std::string> result;
    for (GList *node = items; node && !result; node = node->next) {
        SecretValue *value = secret_item_get_secret(SECRET_ITEM(node->data));
        if (!value)
            continue;
        gsize length = 0;
        const gchar *bytes = secret_value_get(value, &length);
        if (bytes)
            result.emplace(bytes, length);
        secret_value_unref(value);
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

} // namespace

KeychainStore::KeychainStore(std::chrono::milliseconds timeout)
    : m_timeout(timeout)
{
}

std::optional<QString> KeychainStore::read(const QString &account)
{
    // The search runs on its own thread so that a stalled or absent service can be
    // abandoned after the time-out instead of freezing the caller.
    std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), g_object_unref);
    std::promise<std::optional<std::string>> promise;
    std::future<std::optional<std::string>> future = promise.get_future();
    std::thread([promise = std::move(promise), account = account.toStdString(), cancellable]() mutable {
        promise.set_value(lookup(account, cancellable.get()));
    }).detach();

    if (future.wait_for(m_timeout) != std::future_status::ready) {
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
