// A thin form framework over Qt Widgets: the application object, forms
// built from a layout, image panes holding bitmaps with per-row pixel
// access, a push button with a click event, and the exception display.
#pragma once

#include <QImage>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QApplication;

using TObject = QObject;

// The base class of the framework's exceptions.
class Exception : public std::runtime_error {
public:
    explicit Exception(const QString& message);
    QString Message() const { return QString::fromUtf8(what()); }
};

enum TPixelFormat { pf24bit, pf32bit };

// A bitmap over a QImage: pf24bit is Format_RGB888 (3 bytes a pixel, red
// first), pf32bit is Format_RGB32. Copies share pixels until written.
class TBitmap {
public:
    TBitmap() = default;  // empty, 24 bits per pixel

    // Same width, height, pixel format and pixels as source.
    void Assign(const TBitmap* source);

    int Width() const { return image_.width(); }
    int Height() const { return image_.height(); }
    TPixelFormat PixelFormat() const { return format_ == QImage::Format_RGB32 ? pf32bit : pf24bit; }
    void SetPixelFormat(TPixelFormat format);
    // Keeps the pixels that still fit, top-left; new pixels are all bytes 0.
    void SetSize(int width, int height);

    // The first byte of a row; throws Exception for a row outside the bitmap.
    std::uint8_t* GetScanline(int row);

    const QImage& image() const { return image_; }

private:
    QImage image_;
    QImage::Format format_ = QImage::Format_RGB888;
};

// What an image pane shows: always a bitmap, empty when there is no picture.
class TPicture {
public:
    explicit TPicture(QWidget* view) : view_(view) {}

    // The caller may write into it, so the pane is repainted.
    TBitmap* GetBitmap();
    // Holds a copy of source from now on.
    void Assign(const TBitmap* source);

private:
    QWidget* view_;
    TBitmap bitmap_;
};

// An image pane: its picture drawn from the top-left corner, unscaled,
// clipped to the pane.
class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);
    const std::unique_ptr<TPicture> Picture;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A push button. An exception from a Click handler is shown and the
// message loop goes on.
class TBitBtn : public QPushButton {
    Q_OBJECT
public:
    explicit TBitBtn(QWidget* parent = nullptr);
signals:
    void Click(TObject* Sender);
};

// A top-level window. A form's constructor builds its layout and then calls
// Loaded, which applies the layout values Qt Designer has no property for;
// they are dynamic properties of the form: Left, Top, Color, Font.Name,
// Font.Height (negative: pixels), Font.Color.
class TForm : public QWidget {
    Q_OBJECT
public:
    explicit TForm(QWidget* owner);

protected:
    void Loaded();
};

class TApplication {
public:
    // Starts Qt; nothing when it runs already.
    void Initialize();

    // Constructs a Form, stores it in reference and owns it; the first
    // form created becomes the main form.
    template <class Form>
    void CreateForm(Form*& reference) {
        forms_.push_back(std::make_unique<Form>(nullptr));
        reference = static_cast<Form*>(forms_.back().get());
        if (!MainForm) MainForm = reference;
    }

    // Shows the main form and runs the message loop until it is closed; the
    // forms are destroyed then.
    void Run();

    // The message to the user: OnShowException when set (tests), a message
    // box otherwise.
    void ShowException(const Exception* e);
    // Inside a catch: shows an exception that escaped an event handler;
    // the message loop goes on.
    void HandleException();

    TForm* MainForm = nullptr;
    std::function<void(const Exception&)> OnShowException;

private:
    std::vector<std::unique_ptr<TForm>> forms_;
};

extern TApplication* const Application;
