#include "drivers/viewer/viewer_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QVBoxLayout>

#include <cmath>

#include "drivers/viewer/command_line.h"
#include "drivers/viewer/image_view.h"
#include "drivers/viewer/option_panel.h"
#include "io/image_writer.h"
#include "io/npy_writer.h"
#include "io/npz_reader.h"
#include "io/output_file.h"

namespace fastlic::viewer {

namespace {

QImage imageOf(const Image& image) {
    const QImage::Format format = image.channels == 4 ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
    return QImage(image.pixels.data(), image.cols, image.rows, static_cast<qsizetype>(image.cols) * image.channels,
                  format)
        .copy();
}

QString number(double v) { return std::isnan(v) ? QStringLiteral("no data") : QString::number(v, 'g', 6); }

// The outputs written as the console writes them: whole or not at all.
void writeOutput(const std::string& name, const OutputSet::Writer& writer) {
    OutputSet out;
    out.add("", name, writer);
    out.open();
    out.write();
}

}  // namespace

ViewerWindow::ViewerWindow(QWidget* parent)
    : QMainWindow(parent),
      view_(new ImageView(this)),
      panel_(new OptionPanel),
      renderer_(new Renderer(this)),
      cell_(new QLabel(this)),
      timing_(new QLabel(this)),
      progress_(new QProgressBar(this)) {
    setWindowTitle("fastlic-view");
    setAcceptDrops(true);
    setCentralWidget(view_);
    auto* scroll = new QScrollArea;
    scroll->setWidget(panel_);
    scroll->setWidgetResizable(true);
    auto* dock = new QDockWidget(tr("Settings"), this);
    dock->setObjectName("settings");
    dock->setWidget(scroll);
    dock->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    addDockWidget(Qt::RightDockWidgetArea, dock);
    statusBar()->addWidget(cell_, 1);
    statusBar()->addPermanentWidget(timing_);
    statusBar()->addPermanentWidget(progress_);
    progress_->setRange(0, 100);
    progress_->setMaximumWidth(160);
    progress_->hide();
    showError = [this](const QString& message) { QMessageBox::critical(this, "fastlic-view", message); };

    connect(panel_, &OptionPanel::changed, this, &ViewerWindow::refresh);
    connect(panel_, &OptionPanel::invalid, this, [this](const QString& message) {
        if (!message.isEmpty()) timing_->setText("<font color='#b00020'>" + message.toHtmlEscaped() + "</font>");
    });
    connect(renderer_, &Renderer::progressed, this, [this](double done) {
        progress_->show();
        progress_->setValue(static_cast<int>(done * 100));
    });
    connect(renderer_, &Renderer::finished, this, &ViewerWindow::shown);
    connect(renderer_, &Renderer::failed, this, [this](const QString& message) {
        progress_->hide();
        report(message);
    });
    connect(view_, &ImageView::hovered, this, &ViewerWindow::hover);
    buildMenus();
    resize(1100, 760);
}

void ViewerWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("&Open Field..."), QKeySequence::Open, this, [this] {
        const QStringList files = QFileDialog::getOpenFileNames(
            this, tr("Open a field (one file, or the u and v arrays)"), {},
            tr("Fields (*.npy *.npz *.txt *.vec *);;All files (*)"));
        if (!files.isEmpty()) openFiles(files);
    });
    const auto reopenWith = [this](std::string FieldPaths::*member, const QString& title) {
        if (!field_) return;
        QString path;
        if (!ask(path, false, title, tr("Arrays and text (*.npy *.txt *);;All files (*)"))) return;
        FieldPaths paths = field_->paths;
        paths.*member = path.toStdString();
        open(paths);
    };
    file->addAction(tr("Open &Texture..."), this, [=] { reopenWith(&FieldPaths::texture, tr("Open a texture")); });
    file->addAction(tr("Open &Mask..."), this, [=] { reopenWith(&FieldPaths::mask, tr("Open a mask")); });
    file->addSeparator();
    file->addAction(tr("&Save Picture..."), QKeySequence::Save, this, [this] {
        QString path = lastPicturePath_;
        if (picture_ && ask(path, true, tr("Save the picture"), tr("PNG (*.png);;Plain PPM (*.ppm)")))
            savePicture(path);
    });
    file->addAction(tr("Save &Arrays..."), this, [this] {
        QString path;
        if (!picture_ || !ask(path, true, tr("Save the LIC values (hits go beside them)"), tr("NumPy (*.npy)")))
            return;
        const QString stem = path.endsWith(".npy", Qt::CaseInsensitive) ? path.chopped(4) : path;
        saveArrays(stem + ".npy", stem + ".hits.npy");
    });
    file->addAction(tr("&Command Line..."), QKeySequence(tr("Ctrl+Shift+C")), this, [this] {
        QString output = lastPicturePath_;
        if (!picture_ || (output.isEmpty() && !ask(output, true, tr("Where the command writes the picture"),
                                                 tr("PNG (*.png);;Plain PPM (*.ppm)"))))
            return;
        const QString command = commandLine(output, true);
        if (command.isEmpty()) return;
        QApplication::clipboard()->setText(command);
        QDialog dialog(this);
        dialog.setWindowTitle(tr("Console command"));
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(new QLabel(tr("This command writes the picture shown to %1 (copied):").arg(output)));
        auto* text = new QPlainTextEdit(command);
        text->setReadOnly(true);
        layout->addWidget(text);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
        QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
        connect(copy, &QPushButton::clicked, &dialog, [command] { QApplication::clipboard()->setText(command); });
        connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        layout->addWidget(buttons);
        dialog.resize(720, 200);
        dialog.exec();
    });
    file->addSeparator();
    file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);

    QMenu* viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->addAction(tr("&Fit"), QKeySequence(Qt::Key_F), view_, &ImageView::fit);
    viewMenu->addAction(tr("&Actual Size"), QKeySequence(Qt::Key_1), view_, &ImageView::actualSize);
    viewMenu->addAction(tr("Zoom &In"), QKeySequence::ZoomIn, view_, [this] { view_->zoomBy(2.0); });
    viewMenu->addAction(tr("Zoom &Out"), QKeySequence::ZoomOut, view_, [this] { view_->zoomBy(0.5); });
    // An Animate menu (play and pause the moving streaks) goes here once
    // the engine makes animation frames.
}

bool ViewerWindow::ask(QString& path, bool save, const QString& title, const QString& filter) {
    path = save ? QFileDialog::getSaveFileName(this, title, path, filter)
                : QFileDialog::getOpenFileName(this, title, path, filter);
    return !path.isEmpty();
}

bool ViewerWindow::open(const FieldPaths& paths) {
    try {
        field_ = loadField(paths);
    } catch (const std::bad_alloc&) {
        report(tr("not enough memory for the field"));
        return false;
    } catch (const std::exception& e) {
        report(QString::fromStdString(oneLine(e.what())));
        return false;
    }
    const FieldPaths& p = field_->paths;
    setWindowTitle(QString::fromStdString((p.vectors.empty() ? p.u + " " + p.v : p.vectors)) + " - fastlic-view");
    refresh();
    return true;
}

void ViewerWindow::openFiles(const QStringList& given) {
    QStringList files = given;
    FieldPaths paths;
    if (files.size() == 2) {
        files.sort();  // u.npy before v.npy
        paths.u = files[0].toStdString();
        paths.v = files[1].toStdString();
    } else if (files.size() == 1) {
        paths.vectors = files[0].toStdString();
        if (!isNpyPath(paths.vectors) && !isNpzPath(paths.vectors)) {
            bool ok = false;
            const QString size = QInputDialog::getText(this, tr("Text field"), tr("Grid size ROWSxCOLS:"),
                                                       QLineEdit::Normal, "256x256", &ok);
            if (!ok) return;
            if (!parseGridSize(size.toStdString(), paths.rows, paths.cols))
                return report(tr("--size: expected ROWSxCOLS, two positive whole numbers whose product is below "
                                 "2^31, found \"%1\"").arg(size));
        }
    } else {
        return report(tr("Open one field file, or the two arrays u and v"));
    }
    open(paths);
}

void ViewerWindow::refresh() {
    if (!field_) return;
    try {
        panel_->params().validateFor(field_->rows(), field_->cols());
    } catch (const ParamError& e) {
        const std::string option = e.option().empty() ? "--filter-half-length, --slide-steps and --step"
                                                      : "--" + e.option();
        const std::string message =
            option + ": " + options::spellNames(e.problem(), [](const std::string& n) { return "--" + n; });
        timing_->setText("<font color='#b00020'>" + QString::fromStdString(message).toHtmlEscaped() + "</font>");
        return;
    }
    renderer_->request(field_, panel_->params(), panel_->image());
}

void ViewerWindow::shown(std::shared_ptr<const Picture> picture) {
    picture_ = std::move(picture);
    progress_->hide();
    view_->setImage(imageOf(*picture_->image));
    timing_->setText(tr("%1 x %2, %3 in %4 s")
                         .arg(picture_->run->rows())
                         .arg(picture_->run->cols())
                         .arg(picture_->convolved ? tr("convolved and drawn") : tr("drawn"))
                         .arg(picture_->seconds, 0, 'f', 3));
    const QPoint under = view_->pixelAt(view_->mapFromGlobal(QCursor::pos()));
    hover(under.x(), under.y());
}

void ViewerWindow::hover(int row, int col) {
    if (!picture_ || row < 0 || col < 0 || row >= picture_->run->rows() || col >= picture_->run->cols()) {
        cell_->clear();
        return;
    }
    const RunResult& run = *picture_->run;
    const std::size_t k = static_cast<std::size_t>(row) * static_cast<std::size_t>(run.cols()) +
                          static_cast<std::size_t>(col);
    const Vector& v = run.grid.vectors.data()[k];
    // u along the columns is the grid's y, v along the rows its x.
    cell_->setText(tr("row %1, column %2: u %3, v %4, magnitude %5, LIC %6, hits %7")
                       .arg(row)
                       .arg(col)
                       .arg(number(v.y))
                       .arg(number(v.x))
                       .arg(number(std::sqrt(v.x * v.x + v.y * v.y)))
                       .arg(number(run.lic()[k]))
                       .arg(run.hits()[k]));
}

QString ViewerWindow::statusText() const { return cell_->text(); }

void ViewerWindow::report(const QString& message) { showError(message); }

void ViewerWindow::savePicture(const QString& path) {
    if (!picture_) return;
    const std::string name = path.toStdString();
    const ImageFormat* format = imageFormatOf(name);
    if (!format) return report(tr("-o: the image file must end in %1, found \"%2\"")
                                   .arg(QString::fromStdString(imageExtensions()), path));
    const Image& image = *picture_->image;
    if (image.channels == 4 && !format->alpha)
        return report(tr("--background transparent: needs a PNG image (-o FILE.png)"));
    try {
        writeOutput(name, [&](std::FILE* f) { format->write(image.view(), f, 0); });
        lastPicturePath_ = path;
    } catch (const std::exception& e) {
        report(QString::fromStdString(oneLine(e.what())));
    }
}

void ViewerWindow::saveArrays(const QString& licPath, const QString& hitsPath) {
    if (!picture_) return;
    const RegGrid& grid = picture_->run->grid;
    try {
        OutputSet out;
        out.add("--lic", licPath.toStdString(), [&](std::FILE* f) { writeLicNpy(grid, f); });
        out.add("--hits", hitsPath.toStdString(), [&](std::FILE* f) { writeHitsNpy(grid, f); });
        out.open();
        out.write();
    } catch (const std::exception& e) {
        report(QString::fromStdString(oneLine(e.what())));
    }
}

QString ViewerWindow::commandLine(const QString& output, bool writeInputs) {
    if (!picture_) return {};
    try {
        // What made the picture shown, which newer settings may not have yet.
        return QString::fromStdString(consoleCommand(*picture_->field, picture_->run->params,
                                                     picture_->imageOptions, output.toStdString(), writeInputs)
                                          .text);
    } catch (const std::exception& e) {
        report(QString::fromStdString(oneLine(e.what())));
        return {};
    }
}

void ViewerWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void ViewerWindow::dropEvent(QDropEvent* event) {
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    if (!files.isEmpty()) openFiles(files);
    event->acceptProposedAction();
}

}  // namespace fastlic::viewer
