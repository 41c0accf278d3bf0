#include "console/WindowBridge.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/LogLine.h"

namespace {

std::atomic<bool> shuttingDown{false};
QPointer<QObject> dispatcher;

// Message boxes raised off the user-interface thread wait on this until the
// operator closes the box or shutdown begins.
std::mutex boxMutex;
std::condition_variable boxDone;
std::vector<QPointer<QMessageBox>> workerBoxes;

QString BoxText(const char* text) {
    QString out = QString::fromLatin1(text);
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QChar('\r'), QChar('\n'));
    return out;
}

QMessageBox* MakeBox(const char* text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Kestova"), BoxText(text),
                                QMessageBox::Ok);
    box->setObjectName(QStringLiteral("kestovaMessageBox"));
    return box;
}

class ConsoleMessageBoxes final : public IMessageBoxHandler {
public:
    void Show(const char* text) override {
        if (shuttingDown.load()) return;
        if (bridge::OnUiThread()) {
            // The operator's own commands: an ordinary modal box.
            std::unique_ptr<QMessageBox> box(MakeBox(text));
            box->exec();
            return;
        }
        QObject* context = dispatcher.data();
        if (context == nullptr) return;
        auto done = std::make_shared<bool>(false);
        const QString copy = BoxText(text);
        QMetaObject::invokeMethod(
            context,
            [copy, done]() {
                if (shuttingDown.load()) {
                    std::lock_guard<std::mutex> lock(boxMutex);
                    *done = true;
                    boxDone.notify_all();
                    return;
                }
                auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Kestova"), copy,
                                            QMessageBox::Ok);
                box->setObjectName(QStringLiteral("kestovaMessageBox"));
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->setWindowModality(Qt::ApplicationModal);
                QObject::connect(box, &QDialog::finished, [done]() {
                    std::lock_guard<std::mutex> lock(boxMutex);
                    *done = true;
                    boxDone.notify_all();
                });
                {
                    std::lock_guard<std::mutex> lock(boxMutex);
                    workerBoxes.emplace_back(box);
                }
                box->show();
            },
            Qt::QueuedConnection);
        std::unique_lock<std::mutex> lock(boxMutex);
        boxDone.wait(lock, [&] { return *done || shuttingDown.load(); });
    }
};

ConsoleMessageBoxes messageBoxes;

}  // namespace

namespace bridge {

bool OnUiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void Install() {
    if (dispatcher.isNull()) {
        auto* object = new QObject(QCoreApplication::instance());
        object->setObjectName(QStringLiteral("kestovaWindowBridge"));
        dispatcher = object;
    }
    SetMessageBoxHandler(&messageBoxes);
}

void Uninstall() {
    SetMessageBoxHandler(nullptr);
    delete dispatcher.data();
    dispatcher = nullptr;
}

void BeginShutdown() {
    std::vector<QPointer<QMessageBox>> boxes;
    {
        std::lock_guard<std::mutex> lock(boxMutex);
        shuttingDown = true;
        boxes.swap(workerBoxes);
        boxDone.notify_all();
    }
    for (auto& box : boxes) {
        if (box) box->close();
    }
}

bool ShuttingDown() { return shuttingDown.load(); }

void ResetShutdown() {
    std::lock_guard<std::mutex> lock(boxMutex);
    shuttingDown = false;
}

}  // namespace bridge

class BridgedWindow::Target final : public IWindowTarget {
public:
    explicit Target(Handler handler) : handler_(std::move(handler)) {}

    std::intptr_t HandleMessage(std::uint32_t message, WPARAM wParam, LPARAM lParam) override {
        if (!open_.load()) return 0;
        if (bridge::OnUiThread()) return Deliver(message, wParam, lParam);
        if (shuttingDown.load()) return 0;
        QObject* context = dispatcher.data();
        if (context == nullptr) return 0;
        std::intptr_t result = 0;
        // Runs on the user-interface thread while this thread waits; Close
        // runs on that thread too, so a closed window is never touched.
        QMetaObject::invokeMethod(
            context, [&]() { result = Deliver(message, wParam, lParam); },
            Qt::BlockingQueuedConnection);
        return result;
    }

    void Close() { open_ = false; }

private:
    std::intptr_t Deliver(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
        if (!open_.load()) return 0;
        return handler_(message, wParam, lParam);
    }

    Handler handler_;
    std::atomic<bool> open_{true};
};

BridgedWindow::BridgedWindow(Handler handler)
    : target_(std::make_shared<Target>(std::move(handler))) {
    handle_ = RegisterWindow(target_);
}

BridgedWindow::~BridgedWindow() { Close(); }

void BridgedWindow::Close() {
    if (handle_ == 0) return;
    target_->Close();
    UnregisterWindow(handle_);
    handle_ = 0;
}
