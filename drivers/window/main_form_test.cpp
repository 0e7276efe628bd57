// The main window offscreen: its layout, a click on generated inputs, the
// display step on other left bitmaps, and how exceptions are shown.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "run/demo.h"
#include "run/run_pipeline.h"
#include "drivers/window/entry.h"
#include "drivers/window/framework.h"
#include "drivers/window/main_form.h"

Q_DECLARE_METATYPE(fastlic::Point)

namespace {

std::string readFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Standard output goes to a file, the working directory is dir, while this lives.
class Redirected {
public:
    Redirected(const QString& dir, const QString& out) : home_(QDir::currentPath()) {
        QDir::setCurrent(dir);
        std::fflush(stdout);
        const int fd = open(out.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~Redirected() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        QDir::setCurrent(home_);
    }
    Redirected(const Redirected&) = delete;
    Redirected& operator=(const Redirected&) = delete;

private:
    QString home_;
    int saved_ = dup(1);
};

// Every byte from its row, column and seed.
TBitmap patterned(int width, int height, TPixelFormat format, int seed) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(format);
    bitmap.SetSize(width, height);
    const int bytesPerPixel = format == pf24bit ? 3 : 4;
    for (int r = 0; r < height; ++r) {
        std::uint8_t* row = bitmap.GetScanline(r);
        for (int b = 0; b < width * bytesPerPixel; ++b)
            row[b] = static_cast<std::uint8_t>((r * 7 + b * 13 + seed) % 251 + 1);
        if (format == pf32bit)  // Format_RGB32 wants its unused byte at 0xff
            for (int b = 3; b < width * 4; b += 4) row[b] = 0xff;
    }
    return bitmap;
}

QImage rgb(const QImage& image) { return image.convertToFormat(QImage::Format_RGB888); }

template <class E>
struct Throws : TForm {
    explicit Throws(QWidget* owner) : TForm(owner) { throw E(); }
};
struct NotFramework : std::runtime_error {
    NotFramework() : std::runtime_error("not shown") {}
};
struct NoLayout : Exception {
    NoLayout() : Exception("no layout") {}
};

}  // namespace

class MainFormTest : public QObject {
    Q_OBJECT

private:
    QStringList shown_;

private slots:
    void init() {
        shown_.clear();
        Application->OnShowException = [this](const Exception& e) { shown_ << e.Message(); };
    }
    void cleanup() { Application->OnShowException = nullptr; }

    void panesDrawTopLeftUnscaledClipped() {
        TForm1 form(nullptr);
        const TBitmap large = patterned(300, 300, pf24bit, 1);
        const TBitmap small = patterned(100, 50, pf32bit, 2);
        form.Image1->Picture->Assign(&large);
        form.Image2->Picture->Assign(&small);
        const QImage left = rgb(form.Image1->grab().toImage());
        const QImage right = rgb(form.Image2->grab().toImage());
        QCOMPARE(left, rgb(large.image().copy(0, 0, 265, 233)));
        QCOMPARE(right.copy(0, 0, 100, 50), rgb(small.image()));
        QCOMPARE(right.pixel(150, 100), right.pixel(264, 232));  // background past it
    }

    // Two clicks give the same file; after each the left pane holds the
    // run's image, the right the display step's black.
    void clickShowsRunImageAndDisplayStep() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        fastlic::writeDemoInputs(dir.path().toStdString(), fastlic::gridRows, fastlic::gridCols);
        TForm1 form(nullptr);
        std::string first;
        for (int click = 0; click < 2; ++click) {
            {
                const Redirected inDir(dir.path(), dir.filePath("out.ppm"));
                QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
            }
            const std::string ppm = readFile(dir.filePath("out.ppm"));
            QVERIFY(click == 0 || ppm == first);
            first = ppm;
            const QImage image = QImage::fromData(QByteArray::fromStdString(ppm), "PPM").convertToFormat(QImage::Format_RGB888);
            QCOMPARE(image.size(), QSize(fastlic::gridCols, fastlic::gridRows));
            QVERIFY(image != QImage(image.size(), image.format()));  // not blank
            QCOMPARE(form.Image1->Picture->GetBitmap()->PixelFormat(), pf24bit);
            QCOMPARE(form.Image1->Picture->GetBitmap()->image(), image);
            QImage black(image.size(), QImage::Format_RGB888);
            black.fill(0);
            QCOMPARE(form.Image2->Picture->GetBitmap()->image(), black);
        }
    }

    void displayStepOnOtherLeftBitmaps_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("format");
        QTest::addColumn<fastlic::Point>("fill");
        QTest::addColumn<QColor>("filled");
        const fastlic::Point zero(0.0, 0.0, 0.0, 1.0);
        const QColor black(0, 0, 0);
        QTest::newRow("larger") << 300 << 280 << int(pf24bit) << zero << black;
        QTest::newRow("larger 32 bpp") << 300 << 280 << int(pf32bit) << zero << black;
        QTest::newRow("smaller") << 100 << 50 << int(pf24bit) << zero << black;
        QTest::newRow("narrow and tall") << 100 << 300 << int(pf24bit) << zero << black;
        QTest::newRow("empty") << 0 << 0 << int(pf24bit) << zero << black;
        // Truncated toward zero, low 8 bits: 300 -> 44, -1 -> 255.
        QTest::newRow("fill colour bytes") << 260 << 300 << int(pf24bit)
                                           << fastlic::Point(300.7, -1.2, 65.9, 1.0)
                                           << QColor(44, 255, 65);
    }
    void displayStepOnOtherLeftBitmaps() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, format);
        QFETCH(fastlic::Point, fill);
        QFETCH(QColor, filled);
        TForm1 form(nullptr);
        form.fillColor = fill;
        const TBitmap source = patterned(width, height, TPixelFormat(format), 3);
        form.Image1->Picture->Assign(&source);
        const QImage before = source.image().copy();  // shares no pixels

        form.displayStep();

        const TBitmap* left = form.Image1->Picture->GetBitmap();
        QCOMPARE(left->PixelFormat(), TPixelFormat(format));
        QCOMPARE(left->image(), before);

        // The source on black, at least 256 x 256, its top-left square filled.
        QImage expected(std::max(width, 256), std::max(height, 256), QImage::Format_RGB888);
        expected.fill(0);
        QPainter painter(&expected);
        painter.drawImage(0, 0, before);
        painter.fillRect(0, 0, 256, 256, filled);
        painter.end();
        const TBitmap* shown = form.Image2->Picture->GetBitmap();
        QCOMPARE(shown->PixelFormat(), pf24bit);
        QCOMPARE(shown->image(), expected);
    }

    void clickWithoutInputEndsProcess() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        TForm1 form(nullptr);
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            const Redirected inDir(dir.path(), dir.filePath("out"));
            QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
            _exit(0);  // the run came back: wrong
        }
        int status = 0;
        QCOMPARE(waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 255);
        QCOMPARE(readFile(dir.filePath("out")),
                 std::string("Bad Vector Filename: ps.vec.256.256.3\n"));
    }

    void exceptionsAreShown() {
        Throws<NotFramework>* a = nullptr;
        Throws<int>* b = nullptr;
        Throws<NoLayout>* c = nullptr;
        QCOMPARE(runApplication(a), 0);
        QCOMPARE(runApplication(b), 0);
        QCOMPARE(runApplication(c), 0);
        QVERIFY(!a && !b && !c && !Application->MainForm);

        // From a click handler: shown, and the next click is handled too.
        TBitBtn button;
        QObject::connect(&button, &TBitBtn::Click, [&](TObject* sender) {
            if (sender != &button) throw Exception("wrong sender");
            if (shown_.size() == 3) throw Exception("first");
            throw std::bad_alloc();
        });
        QTest::mouseClick(&button, Qt::LeftButton);
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(shown_, (QStringList{"", "", "no layout", "first", "std::bad_alloc"}));

        TBitmap bitmap = patterned(4, 3, pf24bit, 5);
        QVERIFY_THROWS_EXCEPTION(Exception, bitmap.GetScanline(3));
        QVERIFY_THROWS_EXCEPTION(Exception, bitmap.GetScanline(-1));
    }
};

int main(int argc, char** argv) {
    Application->Initialize();
    MainFormTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "main_form_test.moc"
