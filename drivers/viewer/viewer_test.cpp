// The viewer offscreen: fields opened in every form, controls changed,
// runs cancelled, bad files refused, and the console command it gives
// checked against the console itself.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <functional>

#include "drivers/viewer/image_view.h"
#include "drivers/viewer/option_panel.h"
#include "drivers/viewer/viewer_window.h"
#include "io/npy_writer.h"

using namespace fastlic;
using namespace fastlic::viewer;

namespace {

constexpr int rows = 40, cols = 56;

// A vortex off centre over a drift, so that u and v differ everywhere.
double uAt(int i, int j) { return -(i - 17.0) / 9.0 + 0.3 + 0.01 * j; }
double vAt(int i, int j) { return (j - 25.0) / 11.0 - 0.02 * i; }

void writeArray(const QString& path, const char* descr, std::vector<std::int64_t> shape, const void* data,
                std::size_t bytes) {
    std::FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    writeNpy(f, descr, shape, data, bytes);
    std::fclose(f);
}

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

QByteArray pixels(const ViewerWindow& w) {
    const Image& image = *w.picture()->image;
    return QByteArray(reinterpret_cast<const char*>(image.pixels.data()), static_cast<qsizetype>(image.pixels.size()));
}

// Sets the control of option name as a user would, by its kind.
void set(ViewerWindow& w, const char* name, const QString& value) {
    QWidget* c = w.panel()->control(name);
    QVERIFY2(c, name);
    if (auto* box = qobject_cast<QComboBox*>(c)) box->setCurrentText(value);
    else if (auto* spin = qobject_cast<QSpinBox*>(c)) spin->setValue(value.toInt());
    else if (auto* real = qobject_cast<QDoubleSpinBox*>(c)) real->setValue(value.toDouble());
    else if (auto* check = qobject_cast<QCheckBox*>(c)) check->setChecked(value == "true");
    else if (auto* line = qobject_cast<QLineEdit*>(c)) line->setText(value), emit line->editingFinished();
}

bool settle(ViewerWindow& w) {
    return QTest::qWaitFor([&] { return !w.renderer()->busy(); }, 60000) && w.picture();
}

}  // namespace

class ViewerTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString at(const char* name) const { return dir.filePath(name); }

private slots:
    void initTestCase() {
        std::vector<double> u, v, xy;
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) {
                u.push_back(uAt(i, j)), v.push_back(vAt(i, j));
                xy.push_back(vAt(i, j)), xy.push_back(uAt(i, j));  // component 0 along the rows
            }
        writeArray(at("u.npy"), "<f8", {rows, cols}, u.data(), u.size() * 8);
        writeArray(at("v.npy"), "<f8", {rows, cols}, v.data(), v.size() * 8);
        writeArray(at("field.npy"), "<f8", {rows, cols, 2}, xy.data(), xy.size() * 8);
        std::FILE* text = std::fopen(at("field.txt").toLocal8Bit().constData(), "w");
        for (std::size_t k = 0; k < u.size(); ++k) std::fprintf(text, "%.17g %.17g\n", xy[2 * k], xy[2 * k + 1]);
        std::fclose(text);
        std::vector<std::uint8_t> mask(static_cast<std::size_t>(rows * cols));
        for (int j = 0; j < cols; ++j) mask[static_cast<std::size_t>(5 * cols + j)] = 1;
        std::vector<double> fractional(u.size());
        for (std::size_t k = 0; k < u.size(); ++k) fractional[k] = static_cast<double>((k * 37) % 255) + 0.25;
        writeArray(at("mask.npy"), "|u1", {rows, cols}, mask.data(), mask.size());
        writeArray(at("texture.npy"), "<f8", {rows, cols}, fractional.data(), fractional.size() * 8);
        QFile(at("broken.npz")).open(QIODevice::WriteOnly);
        const QString script = "import numpy as np, sys; d = sys.argv[1]; u = np.load(d + '/u.npy'); "
                               "v = np.load(d + '/v.npy'); np.savez(d + '/stored.npz', u=u, v=v); "
                               "np.savez_compressed(d + '/packed.npz', u=u.astype(np.float32), v=v, "
                               "texture=np.load(d + '/texture.npy'), mask=np.load(d + '/mask.npy'))";
        QCOMPARE(QProcess::execute(PYTHON, {"-c", script, dir.path()}), 0);
    }

    // Every form of the same field gives the same picture, the field's size;
    // .npz with a float32 u, a texture and a mask gives another.
    void opens() {
        const std::vector<std::pair<FieldPaths, bool>> forms = {
            {{at("field.npy").toStdString(), "", "", "", "", 0, 0}, true},
            {{"", at("u.npy").toStdString(), at("v.npy").toStdString(), "", "", 0, 0}, true},
            {{at("stored.npz").toStdString(), "", "", "", "", 0, 0}, true},
            {{at("field.txt").toStdString(), "", "", "", "", rows, cols}, true},
            {{at("packed.npz").toStdString(), "", "", "", "", 0, 0}, false},
        };
        QByteArray first;
        for (const auto& [paths, same] : forms) {
            ViewerWindow w;
            w.showError = [](const QString& m) { QFAIL(qPrintable(m)); };
            QVERIFY(w.open(paths));
            QVERIFY(settle(w));
            QCOMPARE(w.view()->image().size(), QSize(cols, rows));
            if (first.isEmpty()) first = pixels(w);
            QCOMPARE(pixels(w) == first, same);
        }
    }

    // A key on a control redraws; the status line names the cell under the
    // cursor with its own vector.
    void tunes() {
        ViewerWindow w;
        w.resize(900, 700);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.open({"", at("u.npy").toStdString(), at("v.npy").toStdString(), "", "", 0, 0}));
        QVERIFY(settle(w));
        QCOMPARE(w.view()->scale(), 1.0);  // at its own size, where it fits
        const QByteArray before = pixels(w);
        QWidget* length = w.panel()->control("filter-half-length");
        length->setFocus();
        QTest::keyClick(length, Qt::Key_Up);
        QVERIFY(settle(w));
        QCOMPARE(w.picture()->run->params.filterHalfLength, 11);
        QVERIFY(pixels(w) != before);
        set(w, "colormap", "viridis");
        QVERIFY(settle(w));
        QCOMPARE(QString::fromStdString(w.picture()->imageOptions.colormap), QString("viridis"));

        w.view()->actualSize();
        w.view()->zoomBy(4.0);
        for (const auto& [i, j] : {std::pair{3, 5}, {rows - 1, cols - 1}, {17, 0}}) {
            QTest::mouseMove(w.view(), w.view()->centreOf(i, j).toPoint());
            const QString expected = QString("row %1, column %2: u %3, v %4,")
                                         .arg(i)
                                         .arg(j)
                                         .arg(QString::number(uAt(i, j), 'g', 6), QString::number(vAt(i, j), 'g', 6));
            QVERIFY2(w.statusText().startsWith(expected), qPrintable(w.statusText() + " / " + expected));
        }
    }

    // Settings changed during a run cancel it; only the newest is shown.
    void cancels() {
        const int n = 1024;
        std::vector<double> xy(2 * n * n);
        for (std::size_t k = 0; k < xy.size(); k += 2) xy[k] = std::sin(k * 1e-4), xy[k + 1] = 1.0;
        writeArray(at("large.npy"), "<f8", {n, n, 2}, xy.data(), xy.size() * 8);
        {
            ViewerWindow closed;  // during its run: stopped and waited for
            QVERIFY(closed.open({at("large.npy").toStdString(), "", "", "", "", 0, 0}) && closed.renderer()->busy());
        }
        ViewerWindow w;
        QSignalSpy cancelled(w.renderer(), &Renderer::cancelled), finished(w.renderer(), &Renderer::finished);
        QVERIFY(w.open({at("large.npy").toStdString(), "", "", "", "", 0, 0}));
        set(w, "filter-half-length", "4");
        set(w, "filter-half-length", "6");
        QVERIFY(settle(w));
        // The first run is cancelled; the settings between are never run.
        QCOMPARE(cancelled.count(), 1);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(w.picture()->run->params.filterHalfLength, 6);
        // What the window sets reaches the engine.
        const std::atomic<bool> stop{true};
        RunSettings s;
        s.rows = s.cols = n;
        s.cancel = &stop;
        QVERIFY_THROWS_EXCEPTION(Cancelled, runLic(copyOf(w.picture()->field->field), s));
    }

    // A file that cannot be read: the console's message, the picture kept.
    void refusesBadFiles() {
        ViewerWindow w;
        QString message;
        w.showError = [&](const QString& m) { message = m; };
        QVERIFY(w.open({at("field.npy").toStdString(), "", "", "", "", 0, 0}));
        QVERIFY(settle(w));
        const auto shown = w.picture();
        for (const QString& bad : {at("missing.npy"), at("u.npy"), at("missing.txt")}) {
            QVERIFY(!w.open({bad.toStdString(), "", "", "", "", rows, cols}));
            QProcess console;
            console.start(FASTLIC_BINARY, {"--vectors", bad, "--texture", at("texture.npy"), "--size",
                                           QString("%1x%2").arg(rows).arg(cols)});
            QVERIFY(console.waitForFinished());
            const QString said = QString(console.readAllStandardOutput() + console.readAllStandardError()).trimmed();
            QCOMPARE(said.startsWith("fastlic: ") ? said.mid(9) : said, message);
        }
        QVERIFY(!w.open({at("broken.npz").toStdString(), "", "", "", "", 0, 0}));
        QVERIFY(message.startsWith(at("broken.npz") + ": not a zip archive"));
        QCOMPARE(w.picture(), shown);
    }

    // The command line it gives writes the saved picture, byte for byte.
    void commandReproducesPicture() {
        using Settings = std::vector<std::pair<const char*, QString>>;
        const std::vector<std::pair<FieldPaths, Settings>> rowsOf = {
            {{at("field.npy").toStdString(), "", "", "", "", 0, 0}, {}},
            {{"", at("u.npy").toStdString(), at("v.npy").toStdString(), "", at("mask.npy").toStdString(), 0, 0},
             {{"contrast", "stretch"}, {"colormap", "viridis_r"}, {"colorbar", "true"}, {"boundary", "closed"},
              {"step", "0.3"}}},
            {{at("packed.npz").toStdString(), "", "", "", "", 0, 0},
             {{"filter-half-length", "5"}, {"interpolation", "linear"}, {"colormap-range", "0.1:2"},
              {"background", "transparent"}}},
            {{at("field.txt").toStdString(), "", "", at("texture.npy").toStdString(), "", rows, cols},
             {{"iterations", "2"}, {"orientation", "true"}, {"mask-color", "255,0,0"}}},
        };
        int n = 0;
        for (const auto& [paths, settings] : rowsOf) {
            ViewerWindow w;
            w.showError = [](const QString& m) { QFAIL(qPrintable(m)); };
            QVERIFY(w.open(paths));
            for (const auto& [name, value] : settings) set(w, name, value);
            QVERIFY(settle(w));
            const QString saved = at("saved") + QString::number(n) + ".png";
            const QString made = at("made") + QString::number(n++) + ".png";
            w.savePicture(saved);
            QString command = w.commandLine(made, true);
            QVERIFY(command.startsWith("fastlic "));
            command.replace(0, 7, FASTLIC_BINARY);
            QCOMPARE(QProcess::execute("sh", {"-c", command}), 0);
            QVERIFY(!bytesOf(saved).isEmpty());
            QVERIFY2(bytesOf(saved) == bytesOf(made), qPrintable(command));
        }
    }
};

QTEST_MAIN(ViewerTest)
#include "viewer_test.moc"
