import QtQuick
import Buttons 1.0
import Colors 1.0
import Icons 1.0

IconButton {
    width: 40
    height: 40
    color: "transparent"
    icon.path: IconVault.back
    icon.color: CustomColors.plainWhite
    icon.sourceSize.height: height / 2
    onClicked: mainStack.pop()
}
