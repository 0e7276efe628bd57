// The viewer's settings as the console command that makes the same picture.
#pragma once

#include <string>
#include <vector>

#include "drivers/viewer/field.h"
#include "engine/lic.h"
#include "render/render.h"

namespace fastlic::viewer {

// The option tables the viewer offers, in the panel's order; the console
// reads every one of them.
std::vector<const options::Table<LicParams>*> methodTables();
std::vector<const options::Table<RenderOptions>*> imageTables();

// Text as a POSIX shell reads it back: bare where safe, else in single quotes.
std::string shellQuoted(const std::string& text);

struct ConsoleCommand {
    std::string text;                  // one line
    std::vector<std::string> written;  // the files written for it
};

// `program` run with these arguments writes the picture of field with
// params and image to output, byte for byte. Inputs the console does not
// read as they are (a u/v pair, an .npz, the built-in noise) are given as
// OUTPUTSTEM.vectors.npy, .texture.npy, .mask.npy, written there when
// writeInputs (else only named). Options at their defaults are left out.
// Throws OutputError for a file that cannot be written.
ConsoleCommand consoleCommand(const LoadedField& field, const LicParams& params, const RenderOptions& image,
                              const std::string& output, bool writeInputs, const std::string& program = "fastlic");

// Whether two settings give the same convolution.
bool sameMethod(const LicParams& a, const LicParams& b);

}  // namespace fastlic::viewer
