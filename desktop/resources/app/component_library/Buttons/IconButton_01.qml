import QtQuick
import Colors 1.0
import Icons 1.0

Rectangle {
    id: iconButton

    property alias icon: buttonIcon
    property alias mouseArea: buttonMouseArea

    signal clicked()

    color: CustomColors.primary
    radius: 100
    opacity: buttonMouseArea.containsMouse || !enabled ? 0.8 : 1

    Icon {
        id: buttonIcon
        anchors.centerIn: parent
        sourceSize.height: iconButton.height * 0.3
        path: IconVault.android
    }

    MouseArea {
        id: buttonMouseArea
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: containsMouse ? Qt.PointingHandCursor : Qt.ArrowCursor
        onClicked: iconButton.clicked()
    }
}
