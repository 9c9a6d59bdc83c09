// The Task View as real processes on a private session bus (the test runs under
// dbus-run-session): a second start raises the first and ends, the automation object
// "Tasdek.Document" with its conversions and result mapping, the close request from another
// program, and the hidden start by bus activation after "RegServer".
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QFile>
#include <QProcess>
#include <QTest>

#include "common/guid.h"
#include "common/registry.h"
#include "servers/srvmgr.h"
#include "tests/support/test_env.h"
#include "tests/tasdek/sample_world.h"

using namespace pondrel;
using namespace pondrel::tasdek;

namespace {

QString Tasdek() { return QString::fromStdString(test::StageDir() + "/tasdek"); }

bool NameOwned() {
  return QDBusConnection::sessionBus().interface()->isServiceRegistered(
      QStringLiteral("Tasdek.Document"));
}

QDBusInterface Document() {
  return QDBusInterface(QStringLiteral("Tasdek.Document"), QStringLiteral("/Document"),
                        QStringLiteral("Tasdek.Document"), QDBusConnection::sessionBus());
}

QDBusInterface Frame() {
  return QDBusInterface(QStringLiteral("Tasdek.Document"), QStringLiteral("/MainFrame"),
                        QStringLiteral("Tasdek.MainFrame"), QDBusConnection::sessionBus());
}

int Call(QDBusInterface& i, const char* method, const QList<QVariant>& args) {
  QDBusMessage reply = i.callWithArgumentList(QDBus::Block, QString::fromLatin1(method), args);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    qWarning() << reply.errorMessage();
    return -100;
  }
  return reply.arguments().value(0).toInt();
}

// The fourteen values of AddServer / ModifyServer.
QList<QVariant> ServerValues(const QString& id, const QString& name, const QString& dir,
                             int port = 80, short del = 0, const QString& proxy = {}) {
  return {id,
          name,
          dir,
          QStringLiteral("127.0.0.1"),
          port,
          QStringLiteral("admin"),
          QStringLiteral("pw"),
          QString(),
          QVariant::fromValue<short>(del),
          proxy,
          3128,
          QString(),
          QString(),
          QString()};
}

bool StoredServer(const std::string& registry_id, CKVSrvInfo* out) {
  Guid id;
  if (!GuidFromRegistryForm(registry_id, &id)) return false;
  CKVSrvMgr store;
  return store.Init() && store.FindById(id, out) == SrvResult::SRV_OK;
}

}  // namespace

class TasdekProcessTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    env_ = std::make_unique<test::ScopedTestEnv>();
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }

  void cleanup() {
    // Every Task View started here is closed, and killed by its id if it does not go.
    if (NameOwned()) {
      QDBusInterface f = Frame();
      f.call(QStringLiteral("Close"));
    }
    for (QProcess* p : started_) {
      if (!p->waitForFinished(5000)) {
        p->kill();
        p->waitForFinished(2000);
      }
      delete p;
    }
    started_.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!NameOwned(), 5000);
    env_.reset();
  }

  void SecondStartRaisesTheFirstAndEnds() {
    QProcess* first = Start({QStringLiteral("-SAM")});
    QTRY_VERIFY_WITH_TIMEOUT(NameOwned(), 10000);
    QProcess second;
    second.start(Tasdek(), {QStringLiteral("-SAM")});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    // It reached the first instance (it says so only when it could not).
    QVERIFY(!second.readAllStandardError().contains("already running"));
    QCOMPARE(first->state(), QProcess::Running);
    QDBusInterface f = Frame();
    QCOMPARE(f.property("Visible").toBool(), true);
    // Another program's close request ends it as the user's close would.
    f.call(QStringLiteral("Close"));
    QVERIFY(first->waitForFinished(10000));
    QCOMPARE(first->exitCode(), 0);
  }

  void AutomationMethodsConvertAndMapResults() {
    const Guid keep = sample::AddServer("Keep", env_->Root() + "/keep");
    sample::StoreTasks({sample::MakeTask("keep task", keep)});
    Start({QStringLiteral("-SAM")});
    QTRY_VERIFY_WITH_TIMEOUT(NameOwned(), 10000);
    QDBusInterface doc = Document();
    const QString id = QStringLiteral("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    const QString dir = QString::fromStdString(env_->Root() + "/cam");

    // Identifiers: the registry form without braces; anything else gives 9.
    QCOMPARE(Call(doc, "SelectServer", {QStringLiteral("not-a-guid")}), 9);
    QCOMPARE(Call(doc, "SelectServer", {QStringLiteral("{") + id + QStringLiteral("}")}), 9);
    QCOMPARE(Call(doc, "SelectServer", {QString()}), 0);
    QCOMPARE(Call(doc, "SelectServer", {id}), 0);

    // AddServer: a new profile under the caller's identifier.
    QCOMPARE(Call(doc, "AddServer",
                  ServerValues(id, QStringLiteral("Cam"), dir, 8080, 1, QStringLiteral("proxy"))),
             0);
    CKVSrvInfo rec;
    QVERIFY(StoredServer(id.toStdString(), &rec));
    QCOMPARE(rec.GetHttpPort(), std::uint16_t{8080});
    QCOMPARE(rec.GetUseProxy(), std::uint8_t{1});
    QCOMPARE(rec.GetProxyPort(), std::uint16_t{3128});
    QCOMPARE(rec.GetDeleteImagesOnServer(), std::uint8_t{1});
    QCOMPARE(rec.GetUsePpp(), std::uint8_t{0});
    // A rejected setter (the name's forbidden characters) gives 9 before the store is touched.
    QCOMPARE(Call(doc, "AddServer", ServerValues(id, QStringLiteral("a:b"), dir)), 9);
    // Store answers: another profile's name 10, its image directory 11.
    const QString id2 = QStringLiteral("11111111-2222-3333-4444-555555555555");
    QCOMPARE(Call(doc, "AddServer", ServerValues(id2, QStringLiteral("Keep"), dir + "2")), 10);
    QCOMPARE(Call(doc, "AddServer", ServerValues(id2, QStringLiteral("Other"), dir + "/sub")), 11);
    // ModifyServer: an unknown server gives 12; a change keeps the stored delete flag.
    QCOMPARE(Call(doc, "ModifyServer", ServerValues(id2, QStringLiteral("Other"), dir + "2")), 12);
    QCOMPARE(Call(doc, "ModifyServer", ServerValues(id, QStringLiteral("Cam renamed"), dir, 81, 0)),
             0);
    QVERIFY(StoredServer(id.toStdString(), &rec));
    QCOMPARE(QString::fromStdString(rec.GetServerName()), QStringLiteral("Cam renamed"));
    QCOMPARE(rec.GetHttpPort(), std::uint16_t{81});
    QCOMPARE(rec.GetDeleteImagesOnServer(), std::uint8_t{1});
    // A port that 16 bits cannot hold is refused.
    QCOMPARE(Call(doc, "ModifyServer", ServerValues(id, QStringLiteral("Cam"), dir, 70000)), 9);

    // DeleteServer: refused while a task of the server runs; then the profile and its tasks go.
    const std::string keep_id = GuidToRegistryForm(keep);
    CKVTask running = sample::MakeTask("keep task", keep);
    running.ActState = kStateRunning;
    sample::StoreTasks({running});
    QCOMPARE(Call(doc, "DeleteServer", {QString::fromStdString(keep_id)}), 2);
    running.ActState = kStateWaiting;
    sample::StoreTasks({running});
    QCOMPARE(Call(doc, "DeleteServer", {QString::fromStdString(keep_id)}), 0);
    CKVTaskMgr tasks;
    CKVTask gone;
    tasks.ReadTask("keep task", &gone);
    QVERIFY(!gone.HasName());
    QCOMPARE(Call(doc, "DeleteServer", {QString::fromStdString(keep_id)}), 12);

    // UpdateWindow and ShowWindow answer without a result.
    QDBusMessage r = doc.call(QStringLiteral("UpdateWindow"));
    QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
    r = doc.call(QStringLiteral("ShowWindow"));
    QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
  }

  void GdbusSeesTheInterfaceAsDesigned() {
    Start({QStringLiteral("-SAM")});
    QTRY_VERIFY_WITH_TIMEOUT(NameOwned(), 10000);
    QProcess gdbus;
    gdbus.start(QStringLiteral("gdbus"),
                {"call", "--session", "--dest", "Tasdek.Document", "--object-path", "/Document",
                 "--method", "Tasdek.Document.SelectServer", "bad"});
    QVERIFY(gdbus.waitForFinished(10000));
    QCOMPARE(gdbus.readAllStandardOutput().trimmed(), QByteArray("(9,)"));
    gdbus.start(QStringLiteral("gdbus"), {"introspect", "--session", "--dest", "Tasdek.Document",
                                          "--object-path", "/Document"});
    QVERIFY(gdbus.waitForFinished(10000));
    const QByteArray xml = gdbus.readAllStandardOutput();
    QVERIFY(xml.contains("AddServer(in  s server_id,"));
    QVERIFY(xml.contains("in  i http_port,"));      // a long
    QVERIFY(xml.contains("in  n delete_images,"));  // a short
    QVERIFY(xml.contains("ShowWindow()"));
  }

  void RegServerActivationStartsHiddenUntilShowWindow() {
    if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME"))
      QSKIP("the bus needs XDG_DATA_HOME for its service files");
    QProcess reg;
    reg.start(Tasdek(), {QStringLiteral("-RegServer")});
    QVERIFY(reg.waitForFinished(10000));
    QCOMPARE(reg.exitCode(), 0);
    const QString file =
        qEnvironmentVariable("XDG_DATA_HOME") + "/dbus-1/services/Tasdek.Document.service";
    QVERIFY(QFile::exists(file));
    // The bus starts the program with its own environment: give it this test's world.
    QVariantMap vars;
    for (const char* v : {"PONDREL_REGISTRY", "PONDREL_USER_REGISTRY", "PONDREL_SERVICE_MANAGER",
                          "PONDREL_RUNTIME_DIR", "QT_QPA_PLATFORM"}) {
      if (qEnvironmentVariableIsSet(v))
        vars.insert(QString::fromLatin1(v), qEnvironmentVariable(v));
    }
    QMap<QString, QString> env;
    for (auto it = vars.begin(); it != vars.end(); ++it)
      env.insert(it.key(), it.value().toString());
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusInterface bus(QStringLiteral("org.freedesktop.DBus"),
                       QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"), QDBusConnection::sessionBus());
    QDBusMessage up =
        bus.call(QStringLiteral("UpdateActivationEnvironment"), QVariant::fromValue(env));
    QCOMPARE(up.type(), QDBusMessage::ReplyMessage);
    QDBusConnection::sessionBus().interface()->call(QStringLiteral("ReloadConfig"));

    // A call to the unowned name starts the Task View, hidden.
    QDBusInterface doc = Document();
    QCOMPARE(Call(doc, "SelectServer", {QString()}), 0);
    QVERIFY(NameOwned());
    QDBusInterface f = Frame();
    QCOMPARE(f.property("Visible").toBool(), false);
    doc.call(QStringLiteral("UpdateWindow"));
    QCOMPARE(f.property("Visible").toBool(), false);
    doc.call(QStringLiteral("ShowWindow"));
    QCOMPARE(f.property("Visible").toBool(), true);

    // UnregServer removes the activation file and the user's settings tree.
    RegistryKey::CreatePath(kSettingsKey, RegHive::kCurrentUser);
    QProcess unreg;
    unreg.start(Tasdek(), {QStringLiteral("-UnregServer")});
    QVERIFY(unreg.waitForFinished(10000));
    QCOMPARE(unreg.exitCode(), 0);
    QVERIFY(!QFile::exists(file));
    QVERIFY(!RegistryKey::KeyExists(kSettingsKey, RegHive::kCurrentUser));
  }

 private:
  QProcess* Start(const QStringList& args) {
    auto* p = new QProcess;
    p->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    p->start(Tasdek(), args);
    started_.push_back(p);
    return p;
  }

  std::unique_ptr<test::ScopedTestEnv> env_;
  std::vector<QProcess*> started_;
};

QTEST_GUILESS_MAIN(TasdekProcessTest)
#include "tasdek_process_test.moc"
