import QtQuick
import Colors 1.0
import Common 1.0

Item {
    id: loadPane

    Rectangle {
        anchors.fill: parent
        color: CustomColors.backgroundLight
        opacity: 0.5
    }

    LoadIndicator {
        objectName: "loadIndicator"
        anchors.centerIn: parent
    }
}
