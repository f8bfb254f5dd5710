import QtQuick
import Colors 1.0
import Common 1.0
import Fonts 1.0

Item {
    id: messageItem

    required property int index
    required property int userID
    required property string time
    required property string contents
    required property var sources
    required property bool loading

    readonly property ListView listView: ListView.view
    readonly property bool sender: userID !== Chat.mainUser.ID
    // The time closes each run of the local user's messages, and the last message.
    property bool shouldShowTime: {
        if (index === listView.count - 1)
            return true
        const next = listView.model.at(index + 1)
        return !next || next.userID !== Chat.mainUser.ID
    }
    property int msgIndex: index
    readonly property bool hasSources: sources !== undefined && sources.length > 0
    // The references side by side on one line, with the row's padding.
    readonly property real referencesWidth: {
        let width = refFlow.leftPadding + refFlow.rightPadding
        for (let i = 0; i < refRepeater.count; ++i) {
            const button = refRepeater.itemAt(i)
            if (button)
                width += button.width + (i > 0 ? refFlow.spacing : 0)
        }
        return width
    }

    width: bubble.width
    height: shouldShowTime ? bubble.height + 25 : bubble.height
    x: sender ? 0 : listView.width - width

    Rectangle {
        id: bubble
        objectName: "bubble"

        // A short answer is still as wide as its references on one line, up to the limit.
        width: Math.min(Math.max(messageText.implicitWidth + 24,
                                 loadIndicator.visible ? loadIndicator.width + 24 : 0,
                                 messageItem.hasSources ? messageItem.referencesWidth : 0),
                        messageItem.listView.width * 0.8)
        height: textContainer.height + (refContainer.visible ? refContainer.height : 0)
        radius: 12
        color: messageItem.sender ? CustomColors.darkBubbleLeft : CustomColors.lightBubbleRight

        Rectangle {
            id: textContainer

            width: parent.width
            height: messageText.implicitHeight + 24
            color: "transparent"

            TextEdit {
                id: messageText
                objectName: "messageText"

                anchors.fill: parent
                anchors.margins: 12
                text: messageItem.contents
                wrapMode: TextEdit.Wrap
                color: CustomColors.plainWhite
                opacity: 0.75
                font.pixelSize: 12
                font.family: Poppins.medium
                verticalAlignment: TextEdit.AlignVCenter
                horizontalAlignment: messageItem.sender ? TextEdit.AlignLeft : TextEdit.AlignRight
                readOnly: true
                selectByMouse: true
            }
        }

        LoadIndicator {
            id: loadIndicator
            objectName: "loadIndicator"

            anchors.top: textContainer.bottom
            anchors.topMargin: 6
            anchors.horizontalCenter: parent.horizontalCenter
            visible: messageItem.loading
        }

        // Also shown while the answer loads, so the indicator sits inside the bubble.
        Item {
            id: refContainer

            anchors.top: textContainer.bottom
            width: parent.width
            // One line of references takes 25; each further line adds its own height.
            height: Math.max(25, refFlow.implicitHeight + refFlow.topPadding)
            visible: messageItem.hasSources || messageItem.loading

            Flow {
                id: refFlow

                anchors.left: parent.left
                anchors.right: parent.right
                leftPadding: 12
                rightPadding: 12
                topPadding: 4
                spacing: 8

                Repeater {
                    id: refRepeater
                    objectName: "refRepeater"
                    model: messageItem.sources

                    // Exactly as large as its label, so the click lands where the text is.
                    Rectangle {
                        id: refButton
                        objectName: "refButton"

                        required property int index
                        required property var modelData

                        width: refLabel.implicitWidth
                        height: refLabel.implicitHeight
                        color: "transparent"

                        Text {
                            id: refLabel
                            objectName: "refLabel"
                            anchors.fill: parent
                            text: "[" + refButton.modelData.id + "]"
                            color: CustomColors.plainWhite
                            verticalAlignment: Text.AlignVCenter
                        }

                        MouseArea {
                            anchors.fill: parent
                            hoverEnabled: true
                            cursorShape: containsMouse ? Qt.PointingHandCursor : Qt.ArrowCursor
                            onClicked: {
                                console.log("Clicked source with id:", messageItem.msgIndex)
                                Chat.openedChatUser.messages.refClicked(messageItem.msgIndex,
                                                                        refButton.index)
                            }
                        }
                    }
                }
            }
        }
    }

    Text {
        id: timeText
        objectName: "timeText"

        anchors.top: bubble.bottom
        anchors.topMargin: 10
        anchors.right: messageItem.sender ? undefined : bubble.right
        width: bubble.width
        height: 20
        text: messageItem.time
        color: CustomColors.plainWhite
        opacity: 0.3
        font.pixelSize: 10
        font.family: Poppins.medium
        horizontalAlignment: messageItem.sender ? Text.AlignLeft : Text.AlignRight
        visible: messageItem.shouldShowTime
    }
}
