pragma Singleton
import QtQuick

BaseFont {
    fontName: "Poppins"
}
