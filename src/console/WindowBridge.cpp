#include "console/WindowBridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace {

std::atomic<bool> shuttingDown{false};
QPointer<QObject> dispatcher;
std::mutex boxMutex;
std::vector<QPointer<QMessageBox>> postedBoxes;

QString BoxText(const char* text) {
    QString out = QString::fromLatin1(text);
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QChar('\r'), QChar('\n'));
    return out;
}

QMessageBox* MakeBox(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Kestova"), text, QMessageBox::Ok);
    box->setObjectName(QStringLiteral("kestovaMessageBox"));
    return box;
}

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
}

void Uninstall() {
    delete dispatcher.data();
    dispatcher = nullptr;
}

void BeginShutdown() {
    std::vector<QPointer<QMessageBox>> boxes;
    {
        std::lock_guard<std::mutex> lock(boxMutex);
        shuttingDown = true;
        boxes.swap(postedBoxes);
    }
    for (auto& box : boxes) {
        if (box) box->close();
    }
}

void ResetShutdown() { shuttingDown = false; }

void ShowMessageBox(const char* text) {
    if (text == nullptr) text = "";
    if (shuttingDown.load()) return;
    if (OnUiThread()) {
        // The operator's own commands: an ordinary modal box.
        std::unique_ptr<QMessageBox> box(MakeBox(BoxText(text)));
        box->exec();
        return;
    }
    QObject* context = dispatcher.data();
    if (context == nullptr) return;
    const QString copy = BoxText(text);
    QMetaObject::invokeMethod(
        context,
        [copy]() {
            if (shuttingDown.load()) return;
            QMessageBox* box = MakeBox(copy);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::ApplicationModal);
            {
                std::lock_guard<std::mutex> lock(boxMutex);
                postedBoxes.emplace_back(box);
            }
            box->show();
        },
        Qt::QueuedConnection);
}

}  // namespace bridge

void OperatorMessageBoxes::OnEngineEvent(const EngineEvent& event) {
    if (event.kind == EventKind::OperatorMessage) bridge::ShowMessageBox(event.text.c_str());
}
