import QtQuick

Item {
    id: chatThread

    width: parent.width

    ListView {
        id: openedChatList
        objectName: "openedChatList"

        anchors.fill: parent
        anchors.margins: 16
        model: Chat.openedChatUser.messages
        spacing: 8
        clip: true
        highlightFollowsCurrentItem: true
        delegate: ChatBubble {}

        // The newest message becomes the current item, so it is scrolled into view.
        onCountChanged: currentIndex = count - 1

        add: Transition {
            NumberAnimation {
                property: "x"
                from: openedChatList.width / 2
                duration: 1500
                easing.type: Easing.OutBounce
            }
        }
    }
}
