import QtQuick
import QtQuick.Controls
import Qt5Compat.GraphicalEffects
import Buttons 1.0
import Colors 1.0

// Asks before a model's data is removed; only Escape or its buttons close it.
Popup {
    id: confirmDeletePopup

    property string targetModelName

    width: 300
    height: 160
    anchors.centerIn: Overlay.overlay
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape

    background: Rectangle {
        color: CustomColors.darkBubbleLeft
        radius: 6
        layer.enabled: true
        layer.effect: DropShadow {
            transparentBorder: true
            horizontalOffset: 6
            verticalOffset: 6
            radius: 18
        }
    }

    Column {
        anchors.centerIn: parent
        spacing: 20

        Text {
            objectName: "deleteTitle"
            anchors.horizontalCenter: parent.horizontalCenter
            text: "Delete model?"
            font.pixelSize: 14
            font.bold: true
            color: CustomColors.plainWhite
        }

        Text {
            objectName: "deleteExplanation"
            anchors.horizontalCenter: parent.horizontalCenter
            text: "This will remove the downloaded data."
            font.pixelSize: 12
            color: CustomColors.plainWhite
            opacity: 0.8
        }

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 20

            TextButton {
                objectName: "cancelButton"
                width: 60
                height: 30
                buttonLabel.text: "Cancel"
                onClicked: confirmDeletePopup.close()
            }

            TextButton {
                objectName: "confirmDeleteButton"
                width: 60
                height: 30
                buttonLabel.text: "Delete"
                onClicked: {
                    Chat.modelDownloader.deleteModel(confirmDeletePopup.targetModelName)
                    confirmDeletePopup.close()
                }
            }
        }
    }
}
