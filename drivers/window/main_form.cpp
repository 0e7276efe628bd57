#include "drivers/window/main_form.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "run/globals.h"
#include "run/run_pipeline.h"

TForm1* Form1 = nullptr;

namespace {

// Truncated toward zero, low 8 bits; NaN and infinities give 0.
std::uint8_t lowByte(double component) {
    if (!std::isfinite(component)) return 0;
    const double r = std::fmod(std::trunc(component), 256.0);  // exact
    return static_cast<std::uint8_t>(r < 0.0 ? r + 256.0 : r);
}

}  // namespace

TForm1::TForm1(QWidget* owner) : TForm(owner) {
    setupUi(this);
    Loaded();
    fillColor = fastlic::Point(0.0, 0.0, 0.0, 1.0);
}

void TForm1::BitBtn1Click(TObject*) {
    fastlic::runPipeline();
    // The run's warnings, as the console prints them, in the title and tip.
    QString warning;
    for (const std::string& w : fastlic::runWarnings())
        warning += (warning.isEmpty() ? "" : "\n") + QString::fromLocal8Bit(w.c_str());
    setWindowTitle(warning.isEmpty() ? QStringLiteral("Form1") : "Form1 - " + warning.section('\n', 0, 0));
    setToolTip(warning);
    showRunImage();
    displayStep();
}

void TForm1::showRunImage() {
    if (!fastlic::currentField) return;  // no run yet
    const fastlic::Image rgb = fastlic::imageOf(*fastlic::currentField);
    const std::size_t rowBytes = static_cast<std::size_t>(rgb.cols) * 3;
    TBitmap image;
    image.SetSize(rgb.cols, rgb.rows);
    for (int r = 0; r < rgb.rows; ++r) {
        const std::uint8_t* from = rgb.pixels.data() + static_cast<std::size_t>(r) * rowBytes;
        std::memcpy(image.GetScanline(r), from, rowBytes);
    }
    Image1->Picture->Assign(&image);
}

void TForm1::displayStep() {
    TBitmap* shown = Image1->Picture->GetBitmap();
    TBitmap copy;
    copy.Assign(shown);
    // The loop below needs 24 bits per pixel and at least gridRows x gridCols.
    if (copy.PixelFormat() != pf24bit) copy.SetPixelFormat(pf24bit);
    if (copy.Width() < fastlic::gridCols || copy.Height() < fastlic::gridRows)
        copy.SetSize(std::max(copy.Width(), fastlic::gridCols),
                     std::max(copy.Height(), fastlic::gridRows));

    const std::uint8_t red = lowByte(fillColor.x);
    const std::uint8_t green = lowByte(fillColor.y);
    const std::uint8_t blue = lowByte(fillColor.z);
    for (int r = 0; r < fastlic::gridRows; ++r) {
        std::uint8_t* row = copy.GetScanline(r);
        for (int c = 0; c < fastlic::gridCols; ++c) {
            row[3 * c] = red;
            row[3 * c + 1] = green;
            row[3 * c + 2] = blue;
        }
    }
    Image2->Picture->Assign(&copy);
}
