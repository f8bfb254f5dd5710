import QtQuick
import Buttons 1.0
import Colors 1.0

// A 20 by 20 control of a catalogue row.
IconButton {
    width: 20
    height: 20
    color: "transparent"
    icon.color: CustomColors.plainWhite
    icon.sourceSize.width: 20
    icon.sourceSize.height: 20
}
