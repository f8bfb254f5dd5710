pragma Singleton
import QtQuick

QtObject {
    readonly property string primary: "#09101A"
    readonly property string secondary: "#1a1f26"
    readonly property string tertiary: "#A3DA8D"
    readonly property string quaternary: "#146356"
    readonly property string plainWhite: "#FFFFFF"
    readonly property string darkBubbleLeft: "#252B35"
    readonly property string lightBubbleLeft: "#32CEF2"
    readonly property string darkBubbleRight: "#3f4045"
    readonly property string lightBubbleRight: "#2D6CF7"
    readonly property string highlight: "#3e4f6b"
    readonly property string backgroundDark: "#0B0F11"
    readonly property string backgroundLight: "#20375B"
}
