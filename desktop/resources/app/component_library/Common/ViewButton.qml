import QtQuick
import Buttons 1.0
import Colors 1.0
import Icons 1.0

IconButton {
    property Component targetView

    width: 40
    height: 40
    color: "transparent"
    icon.path: IconVault.burger
    icon.color: CustomColors.plainWhite
    icon.sourceSize.height: height / 2
    onClicked: mainStack.push(targetView)
}
