#pragma once

#include "core/appsettings.h"
#include "loopbackhttpserver.h"
#include "services/models/modeldownloader.h"
#include "services/models/modelstore.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

// Small catalog models, "alpha" and "beta" unless named, in a store of their own, downloaded by
// the real downloader from a loopback server that serves their bodies unless told otherwise.
// Starts from empty settings, so it goes before anything that reads them.
struct TestModels {
    static QByteArray body(const QString &name) { return name.toLatin1().repeated(40000); }
    static QList<ModelCatalogEntry> catalog(const QStringList &names = { u"alpha"_s, u"beta"_s })
    {
        QByteArray json = "[";
        for (const QString &name : names)
            json += R"({"name":")" + name.toLatin1() + R"(","size":)" + QByteArray::number(body(name).size())
                + R"(,"sha1":")" + QCryptographicHash::hash(body(name), QCryptographicHash::Sha1).toHex()
                + R"(","description":"Модель )" + name.toUtf8() + R"("},)";
        json.chop(1);
        return ModelCatalog::fromJson(json + "]");
    }

    QTemporaryDir folder;
    ModelStore store;
    ModelDownloader downloader { store };
    LoopbackHttpServer server;

    explicit TestModels(const QStringList &names = { u"alpha"_s, u"beta"_s })
        : store(folder.path(), catalog(names))
    {
        TestUtil::clearSettings();
        server.listen();
        server.setHandler([](const LoopbackHttpServer::Request &request) {
            const QString name = QString::fromLatin1(request.target).section(u'-', 1).chopped(4);
            return LoopbackHttpServer::Response::json(200, body(name));
        });
        AppSettings::setString(AppSettings::Keys::localModelsURL, server.baseUrl().toString());
    }
    QString path(const QString &name) const { return store.pathOf(*store.entry(name)); }
    void install(const QString &name) const
    {
        QFile file(path(name));
        if (file.open(QIODevice::WriteOnly))
            file.write(body(name));
    }
};
