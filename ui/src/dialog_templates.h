// The layouts of the main dialog and the about box, in dialog units: every
// control's place, caption and alignment, as data that the dialogs build
// their widgets from.
#pragma once

#include <array>

#include "dialog_units.h"

namespace sevrane::ui {

enum class TextAlign { Left, Centre, Right };

// A fixed text: its words, its place and how it sits there.
struct TextSpec {
    const char* text;
    DialogRect rect;
    TextAlign align;
};

// A control with a caption and a place.
struct ControlSpec {
    const char* caption;
    DialogRect rect;
};

struct DialogFontSpec {
    const char* family;
    int pointSize;
};

// Addresses of the two links. The web link shows its address; the e-mail
// link shows its caption.
inline constexpr const char* kMakerWebAddress = "https://www.valtrix.example/";
inline constexpr const char* kMakerWebCaption = "www.valtrix.example";
inline constexpr const char* kEnquiriesAddress = "mailto:engine@valtrix.example";
inline constexpr const char* kEnquiriesCaption = "Engine enquiries";

namespace main_dialog {

inline constexpr const char* kTitle = "Kelvane demonstration";
inline constexpr DialogFontSpec kFont{"Tahoma", 8};
inline constexpr int kWidth = 508;
inline constexpr int kHeight = 291;

inline constexpr DialogRect kMarkLogo{7, 7, 44, 41};       // sunken frame
inline constexpr DialogRect kWordmarkLogo{200, 7, 107, 39};
inline constexpr DialogRect kWebLink{54, 6, 66, 12};
inline constexpr DialogRect kEnquiriesLink{54, 18, 60, 12};
inline constexpr DialogRect kDisplay{7, 66, 495, 96};       // bordered
inline constexpr DialogRect kPitchSlider{42, 174, 426, 24};
inline constexpr DialogRect kSpeedSlider{42, 222, 426, 24};
inline constexpr DialogRect kPitchValue{233, 198, 42, 8};   // centred
inline constexpr DialogRect kSpeedValue{240, 246, 36, 8};   // centred
// The value labels' texts before the first update.
inline constexpr const char* kPitchValueTemplateText = "-12.0    ";
inline constexpr const char* kSpeedValueTemplateText = "50%    ";
// A label kept empty, below the links.
inline constexpr DialogRect kSpareLabel{54, 31, 140, 12};

inline constexpr ControlSpec kLoad{"Load", {6, 270, 50, 14}};
inline constexpr ControlSpec kFormant{"Formant preserve", {73, 274, 73, 10}};
inline constexpr ControlSpec kLoop{"Loop", {162, 274, 31, 10}};
inline constexpr ControlSpec kPlay{"Play", {203, 270, 101, 14}};
inline constexpr ControlSpec kStop{"Stop", {318, 270, 50, 14}};
inline constexpr ControlSpec kAbout{"About Demo", {451, 270, 51, 14}};

// Tick captions stand centred under their ticks, 18 units wide.
inline constexpr int kTickCaptionWidth = 18;
inline constexpr int kTickCaptionHeight = 8;

inline constexpr std::array<TextSpec, 14> kTexts{{
    {"Sound engines by Valtrix", {380, 7, 121, 12}, TextAlign::Right},
    {"Valtrix audio plug-ins", {421, 21, 80, 12}, TextAlign::Right},
    {"Demo of version 5.61", {419, 33, 82, 12}, TextAlign::Right},
    {"Time and pitch separation", {198, 48, 114, 8}, TextAlign::Centre},
    {"Pitch", {6, 182, 30, 8}, TextAlign::Right},
    {"-24", {42, 198, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"-12", {144, 198, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"12", {348, 198, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"24", {450, 198, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"Speed", {12, 230, 24, 8}, TextAlign::Right},
    {"-100", {42, 246, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"0", {145, 246, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"200", {342, 246, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
    {"400", {450, 246, kTickCaptionWidth, kTickCaptionHeight}, TextAlign::Centre},
}};

}  // namespace main_dialog

namespace about_box {

inline constexpr const char* kTitle = "About Kelvane Demo";
inline constexpr DialogFontSpec kFont{"MS Shell Dlg", 8};
inline constexpr int kWidth = 257;
inline constexpr int kHeight = 246;

inline constexpr DialogRect kIcon{14, 14, 21, 20};
inline constexpr DialogRect kEnquiriesLink{44, 38, 60, 10};
inline constexpr ControlSpec kOk{"OK", {144, 222, 50, 14}};

inline constexpr std::array<TextSpec, 2> kHeading{{
    {"", {44, 14, 200, 10}, TextAlign::Left},
    {"Kelvane time and pitch engine, by Valtrix", {44, 26, 200, 10}, TextAlign::Left},
}};

// The lines of the box, top to bottom.
inline constexpr std::array<const char*, 12> kLines{
    "No type choices for music or percussion. Works perfectly for both.",
    "Incredible stability, enabling large shifts in time and pitch.",
    "Click 'Load' to select a WAV file.",
    "Demo uses uncompressed, 32Kz - 96Khz WAVs only.",
    "Use the sliders to smoothly glide in pitch or speed.",
    "Demo pitch range 4 octaves. Marked in semitones.",
    "Demo speed range 25% to 400%.",
    "Rock steady pitch at extreme settings.",
    "Greatly reduced 'strung out' effect on long stretches.",
    "Very efficient algorithm.",
    "Low latency. (46ms at 44.1Khz, or 2048 samples)",
    "Demo uses Portaudio base.",
};
inline constexpr int kLinesLeft = 10;
inline constexpr int kLinesTop = 60;
inline constexpr int kLinesWidth = 240;
inline constexpr int kLineHeight = 8;
inline constexpr int kLineSpacing = 12;

}  // namespace about_box

}  // namespace sevrane::ui
