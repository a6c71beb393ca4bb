#include "whispermodel.h"

#include "logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <ggml-backend.h>

#include <dlfcn.h>

#include <mutex>

using namespace Qt::StringLiterals;

namespace {

// The program's private folder, where the build puts the CPU variants:
// <prefix>/libexec/verbulo for <prefix>/bin/verbulo. Found from the executable itself:
// ggml's own default search would also try the current directory, and loading code from
// wherever the user happens to stand is not acceptable. Nothing when /proc cannot tell.
QString privateFolder()
{
    const QFileInfo executable(QFile::symLinkTarget(u"/proc/self/exe"_s));
    if (!executable.isAbsolute())
        return {};
    return QDir::cleanPath(executable.absolutePath() + u"/../"_s + QStringLiteral(VERBULO_MODULE_DIR_NAME));
}

// The folder ggml itself was loaded from: the same private folder for the program, the
// build's copy of it for the tests and benchmarks, which run from elsewhere.
QString ggmlFolder()
{
    Dl_info info {};
    if (dladdr(reinterpret_cast<void *>(&ggml_backend_load_all_from_path), &info) == 0 || !info.dli_fname)
        return {};
    return QFileInfo(QFile::decodeName(info.dli_fname)).absolutePath();
}

} // namespace

bool loadEngineBackends()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const QString &folder : { privateFolder(), ggmlFolder() }) {
            if (folder.isEmpty() || !QFileInfo::exists(folder + u"/libggml-cpu.so"_s))
                continue;
            // Scores every libggml-cpu-*.so there and loads the best this CPU runs, else the
            // baseline libggml-cpu.so.
            ggml_backend_load_all_from_path(QFile::encodeName(folder).constData());
            qCDebug(lcServices) << "whisper: CPU code from" << folder << ggml_backend_dev_count() << "devices";
            return;
        }
    });
    return ggml_backend_dev_count() > 0;
}
