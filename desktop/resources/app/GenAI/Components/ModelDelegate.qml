import QtQuick
import QtQuick.Controls
import Buttons 1.0
import Colors 1.0
import Icons 1.0
import CustomComponents 1.0

// One catalogue row: name and size, the progress of a running or paused download, and the
// controls of the row's state.
Item {
    id: modelRow

    property Popup deletePopup
    readonly property int modelState: model.state
    readonly property bool showsProgress: modelState === ModelListModel.Downloading
                                          || modelState === ModelListModel.Paused

    function sizeText(bytes) {
        return bytes > 0 ? (bytes / (1024 * 1024 * 1024)).toFixed(2) + " GB" : "Unknown size"
    }

    // Leaving the queue costs nothing; anything with data on disk is confirmed first.
    function handleDelete() {
        if (modelState === ModelListModel.Queued) {
            Chat.modelDownloader.removeFromQueue(model.name)
        } else if (modelState !== ModelListModel.NotDownloaded) {
            deletePopup.targetModelName = model.name
            deletePopup.open()
        }
    }

    objectName: "modelRow_" + model.name
    height: 32

    Text {
        id: nameTextRow
        objectName: "nameTextRow"
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        width: Math.min(implicitWidth,
                        parent.width - buttonRow.width - 12 - (showsProgress ? 60 : 0))
        text: model.displayName + " (" + sizeText(model.expectedSize) + ")"
        color: CustomColors.plainWhite
        font.pixelSize: 12
        elide: Text.ElideRight
    }

    Rectangle {
        id: progressTrack
        objectName: "progressBar"
        visible: showsProgress
        anchors.left: nameTextRow.right
        anchors.right: buttonRow.left
        anchors.leftMargin: 6
        anchors.rightMargin: 6
        anchors.verticalCenter: parent.verticalCenter
        height: 6
        radius: 3
        color: "#333333"

        Rectangle {
            objectName: "progressFill"
            anchors.left: parent.left
            height: parent.height
            radius: 3
            width: parent.width * model.progress
            color: "#00cc66"
        }
    }

    Row {
        id: buttonRow
        objectName: "buttonRow"
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        spacing: 6

        RowButton {
            objectName: "downloadButton"
            visible: modelState === ModelListModel.NotDownloaded
            icon.path: IconVault.download
            onClicked: Chat.modelDownloader.startDownload(model.name)
        }

        RowButton {
            objectName: "pauseButton"
            visible: modelState === ModelListModel.Downloading
            icon.path: IconVault.pause
            onClicked: Chat.modelDownloader.pauseDownload(model.name)
        }

        RowButton {
            objectName: "resumeButton"
            visible: modelState === ModelListModel.Paused
            icon.path: IconVault.play
            // A download that stopped on an error says which, until it is resumed or deleted.
            ToolTip.visible: mouseArea.containsMouse && model.failure !== ""
            ToolTip.text: model.failure
            onClicked: Chat.modelDownloader.resumeDownload(model.name)
        }

        Icon {
            objectName: "queuedMark"
            visible: modelState === ModelListModel.Queued
            width: 20
            height: 20
            sourceSize.width: 20
            sourceSize.height: 20
            path: IconVault.clock
            color: CustomColors.plainWhite
        }

        RowButton {
            objectName: "deleteButton"
            visible: modelState !== ModelListModel.NotDownloaded
            icon.path: IconVault.trash
            onClicked: modelRow.handleDelete()
        }
    }
}
