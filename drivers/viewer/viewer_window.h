// The viewer's main window: the picture, the option panel, the status line
// with the cell under the cursor, and the File and View menus.
#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

#include "drivers/viewer/field.h"
#include "drivers/viewer/renderer.h"

class QLabel;
class QProgressBar;

namespace fastlic::viewer {

class ImageView;
class OptionPanel;

class ViewerWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit ViewerWindow(QWidget* parent = nullptr);

    // Reads the field and shows it; on failure the message goes to
    // showError and the picture shown stays. Returns whether it was read.
    bool open(const FieldPaths& paths);

    // The picture as shown, to a .png or .ppm file as the console writes it.
    void savePicture(const QString& path);
    // The LIC values and hit counts as .npy files.
    void saveArrays(const QString& licPath, const QString& hitsPath);
    // The console command for the picture at `output`; writes the inputs it
    // needs beside it when writeInputs.
    QString commandLine(const QString& output, bool writeInputs);

    // Where messages go: a dialog unless replaced (tests).
    std::function<void(const QString&)> showError;

    std::shared_ptr<const Picture> picture() const { return picture_; }
    OptionPanel* panel() const { return panel_; }
    ImageView* view() const { return view_; }
    QString statusText() const;
    Renderer* renderer() const { return renderer_; }

protected:
    void dragEnterEvent(QDragEnterEvent*) override;
    void dropEvent(QDropEvent*) override;

private:
    void buildMenus();
    void refresh();  // new settings or field: recompute
    void shown(std::shared_ptr<const Picture> picture);
    void hover(int row, int col);
    void openFiles(const QStringList& files);
    void report(const QString& message);
    bool ask(QString& path, bool save, const QString& title, const QString& filter);

    std::shared_ptr<const LoadedField> field_;
    std::shared_ptr<const Picture> picture_;
    ImageView* view_;
    OptionPanel* panel_;
    Renderer* renderer_;
    QLabel* cell_;
    QLabel* timing_;
    QProgressBar* progress_;
    QString lastPicturePath_;
};

}  // namespace fastlic::viewer
