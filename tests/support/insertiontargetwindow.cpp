// A small application for the insertion tests to paste into. It reads commands
// from standard input, one a line, and answers each on standard output:
//   open NAME X Y        a window titled "Vorsik target" with a text field at X,Y,
//                        activated; answers "opened NAME" once the field has the focus
//   activate NAME        answers "active NAME" once the window is active again
//   title NAME BASE64    retitles the window; answers "titled NAME"
//   text NAME            answers "text NAME BASE64" with the field's UTF-8 text
//   copy PLAIN HTML      puts text/plain and text/html (Base64 each) on the clipboard; answers "copied"
//   clipboard            answers "clipboard PLAIN HTML", Base64 of what the clipboard holds
//   quit
// With VERBULO_TARGET_TERMINAL set, its fields paste as terminals do: Ctrl+Shift+V pastes,
// Ctrl+V types the control character, shown as "^V".
#include <QApplication>
#include <QClipboard>
#include <QHash>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void answer(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct TargetWindow {
    QWidget *window = nullptr;
    QLineEdit *field = nullptr;
};

class TerminalKeys : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *field = qobject_cast<QLineEdit *>(watched);
        if (!field || event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_V || !(key->modifiers() & Qt::ControlModifier))
            return false;
        field->insert(key->modifiers() & Qt::ShiftModifier ? QGuiApplication::clipboard()->text() : u"^V"_s);
        return true;
    }
};

class Target : public QObject {
public:
    Target()
        : m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_input, &QSocketNotifier::activated, this, &Target::readInput);
    }
    ~Target() override
    {
        for (const TargetWindow &target : std::as_const(m_windows))
            delete target.window;
    }

private:
    void readInput()
    {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            QCoreApplication::quit();
            return;
        }
        m_pending.append(chunk, got);
        qsizetype end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            run(line.split(' '));
        }
    }

    void run(const QList<QByteArray> &words)
    {
        const QByteArray command = words.value(0);
        const QString name = QString::fromUtf8(words.value(1));
        if (command == "open" && words.size() == 4) {
            TargetWindow &target = m_windows[name];
            target.window = new QWidget;
            target.window->setWindowTitle(u"Vorsik target"_s);
            target.field = new QLineEdit(target.window);
            target.field->setObjectName(u"field_"_s + name);
            if (qEnvironmentVariableIsSet("VERBULO_TARGET_TERMINAL"))
                target.field->installEventFilter(&m_terminalKeys);
            (new QVBoxLayout(target.window))->addWidget(target.field);
            target.window->setGeometry(words[2].toInt(), words[3].toInt(), 420, 120);
            target.window->show();
            activate(name, "opened ");
        } else if (command == "activate" && m_windows.contains(name)) {
            activate(name, "active ");
        } else if (command == "title" && m_windows.contains(name)) {
            m_windows[name].window->setWindowTitle(QString::fromUtf8(QByteArray::fromBase64(words.value(2))));
            answer("titled " + name.toUtf8());
        } else if (command == "text" && m_windows.contains(name)) {
            answer("text " + name.toUtf8() + ' ' + m_windows[name].field->text().toUtf8().toBase64());
        } else if (command == "copy" && words.size() == 3) {
            auto *data = new QMimeData;
            data->setData(u"text/plain"_s, QByteArray::fromBase64(words[1]));
            data->setData(u"text/html"_s, QByteArray::fromBase64(words[2]));
            QGuiApplication::clipboard()->setMimeData(data);
            answer("copied");
        } else if (command == "clipboard") {
            const QMimeData *data = QGuiApplication::clipboard()->mimeData();
            const QByteArray plain = data ? data->data(u"text/plain"_s) : QByteArray();
            const QByteArray html = data ? data->data(u"text/html"_s) : QByteArray();
            answer("clipboard " + plain.toBase64() + ' ' + html.toBase64());
        } else if (command == "quit") {
            QCoreApplication::quit();
        } else {
            answer("unknown " + command);
        }
    }

    // Asks for activation until the window is active and its field has the focus.
    void activate(const QString &name, const QByteArray &reply, int attempts = 100)
    {
        const TargetWindow &target = m_windows[name];
        if (target.window->isActiveWindow() && target.field->hasFocus()) {
            answer(reply + name.toUtf8());
            return;
        }
        if (attempts == 0) {
            answer("failed " + name.toUtf8());
            return;
        }
        target.window->raise();
        target.window->activateWindow();
        target.field->setFocus();
        QTimer::singleShot(50, this, [this, name, reply, attempts] { activate(name, reply, attempts - 1); });
    }

    QSocketNotifier m_input;
    TerminalKeys m_terminalKeys;
    QByteArray m_pending;
    QHash<QString, TargetWindow> m_windows;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Target target;
    answer("ready");
    return app.exec();
}
