import QtQuick
import Colors 1.0

Rectangle {
    id: textButton

    property alias buttonLabel: label
    property alias enabled: buttonMouseArea.enabled

    signal clicked()

    width: label.implicitWidth + 15
    height: label.implicitHeight + 8
    color: !buttonMouseArea.enabled ? "#00abab"
                                    : buttonMouseArea.containsMouse ? "#006b6b" : "darkcyan"
    opacity: buttonMouseArea.containsMouse ? 0.8 : 1

    Text {
        id: label
        anchors.centerIn: parent
        color: CustomColors.plainWhite
    }

    MouseArea {
        id: buttonMouseArea
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: containsMouse ? Qt.PointingHandCursor : Qt.ArrowCursor
        onClicked: textButton.clicked()
    }
}
