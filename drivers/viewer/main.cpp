// fastlic-view: open a field, tune the picture live, look closely, save.
//
//     fastlic-view u.npy v.npy
//     fastlic-view field.npy | field.npz
//     fastlic-view --size 512x512 vectors.txt [--texture noise.txt] [--mask mask.npy]
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>

#include "drivers/viewer/viewer_window.h"
#include "io/output_file.h"

int main(int argc, char** argv) {
    fastlic::ensureStandardDescriptors();
    // One line instead of the toolkit's advice when there is nowhere to show a window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "fastlic-view: cannot open the window: no display (DISPLAY is not set)\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("fastlic-view");

    QCommandLineParser parser;
    parser.setApplicationDescription("Explore a vector field's line integral convolution");
    parser.addHelpOption();
    const QCommandLineOption size("size", "Grid size of text files", "ROWSxCOLS");
    const QCommandLineOption texture("texture", "Texture file: text or .npy", "FILE");
    const QCommandLineOption mask("mask", "Cells without data: text or .npy, nonzero: no data", "FILE");
    parser.addOptions({size, texture, mask});
    parser.addPositionalArgument("field", "FIELD.npy (rows, cols, 2), FIELD.npz, a text file, or U.npy V.npy");
    parser.process(app);

    fastlic::viewer::FieldPaths paths;
    const QStringList files = parser.positionalArguments();
    if (files.size() > 2) {
        std::fprintf(stderr, "fastlic-view: expected one field file or two arrays u and v (see --help)\n");
        return 2;
    }
    if (files.size() == 2) {
        paths.u = files[0].toStdString();
        paths.v = files[1].toStdString();
    } else if (files.size() == 1) {
        paths.vectors = files[0].toStdString();
    }
    if (parser.isSet(size) &&
        !fastlic::viewer::parseGridSize(parser.value(size).toStdString(), paths.rows, paths.cols)) {
        std::fprintf(stderr,
                     "fastlic-view: --size: expected ROWSxCOLS, two positive whole numbers whose product is "
                     "below 2^31, found \"%s\"\n",
                     parser.value(size).toLocal8Bit().constData());
        return 2;
    }
    paths.texture = parser.value(texture).toStdString();
    paths.mask = parser.value(mask).toStdString();

    fastlic::viewer::ViewerWindow window;
    window.show();
    // Once the window is up, so that a bad file's message has a parent.
    if (!files.isEmpty()) QTimer::singleShot(0, &window, [&] { window.open(paths); });
    return app.exec();
}
