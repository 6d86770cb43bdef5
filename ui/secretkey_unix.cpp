#include "secretkey_unix.h"

#include <libsecret/secret.h>

namespace SecretKey {

namespace {

const SecretSchema *schema()
{
    static const SecretSchema s = {
        "tr.com.zelnor.KumatSync.PasswordKey",
        SECRET_SCHEMA_NONE,
        {
            {"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &s;
}

const char applicationName[] = "KumatSync";

} // namespace

Lookup lookup(std::string *keyText)
{
    GError *error = nullptr;
    gchar *secret = secret_password_lookup_sync(schema(), nullptr, &error, "application", applicationName, nullptr);
    if (error) {
        g_error_free(error);
        if (secret)
            secret_password_free(secret);
        return Lookup::Unavailable;
    }
    if (!secret)
        return Lookup::Missing;
    keyText->assign(secret);
    secret_password_free(secret);
    return Lookup::Found;
}

bool store(const std::string &keyText)
{
    GError *error = nullptr;
    const gboolean ok = secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, "Kumat Sync",
                                                   keyText.c_str(), nullptr, &error, "application",
                                                   applicationName, nullptr);
    if (error) {
        g_error_free(error);
        return false;
    }
    return ok;
}

bool clear()
{
    GError *error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "application", applicationName, nullptr);
    if (error) {
        g_error_free(error);
        return false;
    }
    return true;
}

} // namespace SecretKey
