// The reply envelope of the server API on arbitrary bytes: a reply is taken
// only as a JSON object whose "ok" is true, and a refusal leaves a reason.
#include "apiclient.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

class ApiClientTestAccess
{
public:
    static bool parseOk(ApiClient &client, const QByteArray &bytes, QJsonObject *out)
    {
        return client.parseOk(bytes, out);
    }
};

namespace {
ApiClient *client = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_envelope";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    client = new ApiClient;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QJsonObject out;
    const bool ok = ApiClientTestAccess::parseOk(*client, bytes, &out);
    if (!ok && client->lastError().isEmpty())
        abort(); // refused without a reason for the user
    return 0;
}
