// A small application for the insertion tests to paste into, driven one command a line on standard
// input (see TargetApplication): open NAME X Y [digits], activate NAME, focus NAME, text NAME,
// copy PLAIN HTML, clipboard, quit. A "digits" field silently refuses anything but digits.
#include <QApplication>
#include <QClipboard>
#include <QHash>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpressionValidator>
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

class Target : public QObject {
public:
    Target()
        : m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_input, &QSocketNotifier::activated, this, &Target::readInput);
    }
    ~Target() override { qDeleteAll(m_windows); }

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
        if (command == "open" && (words.size() == 4 || (words.size() == 5 && words[4] == "digits"))) {
            QWidget *window = m_windows[name] = new QWidget;
            window->setWindowTitle(u"Vorsik target"_s);
            auto *field = new QLineEdit(window);
            if (words.size() == 5)
                field->setValidator(new QRegularExpressionValidator(QRegularExpression(u"[0-9]*"_s), field));
            (new QVBoxLayout(window))->addWidget(field);
            window->setGeometry(words[2].toInt(), words[3].toInt(), 420, 120);
            window->show();
            activate(name, "opened ");
        } else if (command == "activate" && m_windows.contains(name)) {
            activate(name, "active ");
        } else if (command == "focus" && m_windows.contains(name)) {
            answer("focus " + name.toUtf8()
                + (m_windows[name]->isActiveWindow() && fieldOf(name)->hasFocus() ? " 1" : " 0"));
        } else if (command == "text" && m_windows.contains(name)) {
            answer("text " + name.toUtf8() + ' ' + fieldOf(name)->text().toUtf8().toBase64());
        } else if (command == "copy" && words.size() == 3) {
            auto *data = new QMimeData;
            data->setData(u"text/plain"_s, QByteArray::fromBase64(words[1]));
            data->setData(u"text/html"_s, QByteArray::fromBase64(words[2]));
            QGuiApplication::clipboard()->setMimeData(data);
            answer("copied");
        } else if (command == "clipboard") {
            const QMimeData *data = QGuiApplication::clipboard()->mimeData();
            const auto format
                = [data](const QString &type) { return data ? data->data(type).toBase64() : QByteArray(); };
            answer("clipboard " + format(u"text/plain"_s) + ' ' + format(u"text/html"_s));
        } else if (command == "quit") {
            QCoreApplication::quit();
        } else {
            answer("unknown " + command);
        }
    }

    QLineEdit *fieldOf(const QString &name) const { return m_windows[name]->findChild<QLineEdit *>(); }

    // Asks for activation until the window is active and its field has the focus.
    void activate(const QString &name, const QByteArray &reply, int attempts = 100)
    {
        QWidget *window = m_windows[name];
        if ((window->isActiveWindow() && fieldOf(name)->hasFocus()) || attempts == 0) {
            answer((attempts ? reply : QByteArray("failed ")) + name.toUtf8());
            return;
        }
        window->raise();
        window->activateWindow();
        fieldOf(name)->setFocus();
        QTimer::singleShot(50, this, [this, name, reply, attempts] { activate(name, reply, attempts - 1); });
    }

    QSocketNotifier m_input;
    QByteArray m_pending;
    QHash<QString, QWidget *> m_windows;
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
