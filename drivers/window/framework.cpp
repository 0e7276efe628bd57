#include "drivers/window/framework.h"

#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/errors.h"

namespace {

QColor namedColor(const QString& name) {
    const QPalette platform = QApplication::palette();
    if (name == QLatin1String("clBtnFace")) return platform.color(QPalette::Button);
    if (name == QLatin1String("clWindow")) return platform.color(QPalette::Base);
    if (name == QLatin1String("clWindowText")) return platform.color(QPalette::WindowText);
    throw Exception(QStringLiteral("Unknown colour: ") + name);
}

// What the toolkit says while it starts is held back: when it cannot start
// (no display) it ends the process with lines of advice about reinstalling;
// one line saying what is missing is shown instead.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage>* heldMessages = nullptr;

void holdStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        heldMessages->push_back({type, context.category, text});
        return;
    }
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    std::string reason;
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        reason = "the window system \"" + platform.toStdString() + "\" cannot be started";
    else if (!display.isEmpty())
        reason = "cannot connect to the display \"" + display.toStdString() + "\"";
    else if (!qgetenv("WAYLAND_DISPLAY").isEmpty())
        reason = "cannot connect to the display";
    else
        reason = "no display (DISPLAY is not set)";
    std::fprintf(stderr, "fastlic: cannot open the window: %s\n", fastlic::oneLine(reason).c_str());
    std::_Exit(1);
}

}  // namespace

Exception::Exception(const QString& message) : std::runtime_error(message.toStdString()) {}

void TBitmap::Assign(const TBitmap* source) {
    if (!source) {
        *this = TBitmap();
    } else if (source != this) {
        image_ = source->image_;
        format_ = source->format_;
    }
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    format_ = format == pf32bit ? QImage::Format_RGB32 : QImage::Format_RGB888;
    if (!image_.isNull()) image_ = image_.convertToFormat(format_);
}

void TBitmap::SetSize(int width, int height) {
    if (width <= 0 || height <= 0) {
        image_ = QImage();
        return;
    }
    if (width == Width() && height == Height()) return;
    QImage resized(width, height, format_);
    if (resized.isNull()) throw Exception(QStringLiteral("Out of memory for a bitmap"));
    resized.fill(0);
    const int bytes = std::min(width, Width()) * resized.depth() / 8;
    for (int r = 0; r < std::min(height, Height()); ++r)
        std::memcpy(resized.scanLine(r), image_.constScanLine(r), static_cast<std::size_t>(bytes));
    image_ = std::move(resized);
}

std::uint8_t* TBitmap::GetScanline(int row) {
    if (row < 0 || row >= Height()) throw Exception(QStringLiteral("Scan line index out of range"));
    return image_.scanLine(row);  // detaches from the copies
}

// Writes into it show at the pane's next repaint.
TBitmap* TPicture::GetBitmap() { return &bitmap_; }

void TPicture::Assign(const TBitmap* source) {
    bitmap_.Assign(source);
    view_->update();
}

TImage::TImage(QWidget* parent) : QWidget(parent), Picture(std::make_unique<TPicture>(this)) {}

void TImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), Picture->GetBitmap()->image());
}

TBitBtn::TBitBtn(QWidget* parent) : QPushButton(parent) {
    connect(this, &QAbstractButton::clicked, this, [this] {
        // Caught here: an exception must not unwind through Qt's own code.
        try {
            emit Click(this);
        } catch (...) {
            Application->HandleException();
        }
    });
}

TForm::TForm(QWidget* owner) : QWidget(owner) {}

void TForm::Loaded() {
    const QVariant left = property("Left"), top = property("Top");
    if (left.isValid() && top.isValid()) move(left.toInt(), top.toInt());

    QPalette colours = palette();
    if (const QVariant c = property("Color"); c.isValid())
        colours.setColor(QPalette::Window, namedColor(c.toString()));
    if (const QVariant c = property("Font.Color"); c.isValid()) {
        const QColor text = namedColor(c.toString());
        colours.setColor(QPalette::WindowText, text);
        colours.setColor(QPalette::ButtonText, text);
    }
    setPalette(colours);

    QFont f = font();
    if (const QVariant name = property("Font.Name"); name.isValid()) {
        f.setFamilies({name.toString()});
        f.setStyleHint(QFont::SansSerif);  // where that family is missing
    }
    if (const QVariant height = property("Font.Height"); height.isValid() && height.toInt() != 0) {
        // Negative: the character height in pixels. Positive heights also
        // count the internal leading; taken as pixels too.
        f.setPixelSize(std::abs(height.toInt()));
    }
    setFont(f);
}

void TApplication::Initialize() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "fastlic-gui";
    static char* argv[] = {name, nullptr};
    std::vector<HeldMessage> held;
    heldMessages = &held;
    const QtMessageHandler previous = qInstallMessageHandler(holdStartupMessage);
    // Never deleted: deleting it from a static destructor races Qt's own
    // teardown, and the process ends right after the loop anyway.
    new QApplication(argc, argv);
    qInstallMessageHandler(previous);
    heldMessages = nullptr;
    for (const HeldMessage& m : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, m.category.constData());
        if (previous)
            previous(m.type, context, m.text);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(m.type, context, m.text)));
    }
}

void TApplication::Run() {
    if (!MainForm) return;
    MainForm->show();
    // For tests only: ends an unattended run the way closing the window does.
    if (const char* ms = std::getenv("FASTLIC_GUI_CLOSE_AFTER_MS"))
        QTimer::singleShot(std::atoi(ms), MainForm, &QWidget::close);
    QApplication::exec();
    MainForm = nullptr;
    forms_.clear();
}

void TApplication::ShowException(const Exception* e) {
    if (OnShowException) {
        OnShowException(*e);
    } else if (QApplication::instance()) {
        QMessageBox::critical(MainForm, QApplication::applicationName(), e->Message());
    } else {
        std::fprintf(stderr, "%s\n", e->what());
    }
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const Exception& e) {
        ShowException(&e);
    } catch (const std::exception& e) {
        const Exception shown(QString::fromLocal8Bit(e.what()));
        ShowException(&shown);
    } catch (...) {
        const Exception shown{QString()};
        ShowException(&shown);
    }
}

// Never destroyed, like the QApplication: a process that ends inside the
// loop (std::exit from a handler) must not tear down live widgets.
TApplication* const Application = new TApplication;
