import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Icons 1.0

Rectangle {
    id: searchView

    color: CustomColors.primary

    // Ctrl+F means typing the search text next: the field takes the keys once the view is shown.
    StackView.onActivated: focusSearchField()

    function focusSearchField() {
        searchField.forceActiveFocus()
    }

    MainHeader {
        id: searchHeader
        objectName: "searchHeader"

        IconButton {
            id: docButton
            objectName: "docButton"
            width: 40
            height: 40
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "transparent"
            icon.path: IconVault.document
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: mainStack.push(docView)
        }

        IconButton {
            id: chatButton
            objectName: "chatButton"
            width: 40
            height: 40
            anchors.left: docButton.right
            anchors.verticalCenter: parent.verticalCenter
            color: "transparent"
            icon.path: IconVault.chat
            icon.color: CustomColors.plainWhite
            icon.sourceSize.height: height / 2
            onClicked: mainStack.push(openedChatView)
        }

        OptionsButton {
            id: optionsButton
            objectName: "optionsButton"
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Item {
        id: searchContainer
        objectName: "searchContainer"

        anchors.top: searchHeader.bottom
        width: parent.width
        height: 30

        Item {
            anchors.fill: parent
            anchors.margins: 10

            RowLayout {
                anchors.fill: parent

                TextField {
                    id: searchField
                    objectName: "searchField"
                    Layout.fillWidth: true
                    placeholderText: "Enter search term"

                    // The document list starts the search in every document; one or two
                    // characters would match nearly everything.
                    function triggerSearch() {
                        if (text.length > 2)
                            Docs.SearchString = text
                    }

                    onAccepted: triggerSearch()
                    Keys.onEnterPressed: {
                        console.log("enterPressed: " + searchField.focus)
                        triggerSearch()
                    }
                    onTextChanged: {
                        if (text.length === 0)
                            Docs.SearchString = ""
                    }
                    Component.onCompleted: text = Docs.SearchString
                }

                Button {
                    id: searchButton
                    objectName: "searchButton"
                    text: "Search"
                    onClicked: {
                        searchField.forceActiveFocus()
                        searchField.accepted()
                    }
                }
            }
        }
    }

    Item {
        id: searchViewContainer
        objectName: "searchViewContainer"

        anchors.top: searchContainer.bottom
        anchors.bottom: parent.bottom
        width: parent.width

        TreeView {
            id: resultsView
            objectName: "resultsView"
            anchors.fill: parent
            anchors.margins: 10
            clip: true
            model: Chat.SearchModel

            ScrollBar.vertical: ScrollBar { }

            // The row of an item in the tree with every document expanded, which the search
            // model takes, whatever this view shows collapsed.
            function expandedRow(modelIndex) {
                const searchModel = Chat.SearchModel
                const fileIndex = modelIndex.parent.valid ? modelIndex.parent : modelIndex
                let row = 0
                for (let file = 0; file < fileIndex.row; ++file)
                    row += 1 + searchModel.rowCount(searchModel.index(file, 0))
                return modelIndex.parent.valid ? row + 1 + modelIndex.row : row
            }

            delegate: Item {
                id: resultRow
                objectName: "resultRow"

                required property TreeView treeView
                required property bool expanded
                required property int row
                required property int index
                required property bool isResult
                required property string fileName
                required property int pageNumber
                required property string searchString
                required property string contextBefore
                required property string contextAfter

                // Line breaks come as return symbols.
                function flattened(context) {
                    return context.replace(/[\u21B5\u23CE]/g, " ")
                }

                function expandedRow() {
                    return treeView.expandedRow(treeView.modelIndex(Qt.point(0, row)))
                }

                implicitHeight: 20
                implicitWidth: 100

                // Expanded once the view has taken the new delegate in: expanded while it is
                // still being made, the row opens but this delegate's `expanded` stays false.
                function expandOwnRow() {
                    if (!treeView.isExpanded(row))
                        treeView.expand(row)
                }
                Component.onCompleted: Qt.callLater(expandOwnRow)

                Item {
                    width: resultRow.treeView.width
                    height: 20
                    clip: true

                    // A Row, not a RowLayout: a RowLayout in a reused delegate keeps the old
                    // places of its labels when a context shrinks to nothing.
                    Row {
                        anchors.fill: parent
                        spacing: 0

                        Text {
                            objectName: "expandArrow"
                            anchors.verticalCenter: parent.verticalCenter
                            visible: !resultRow.isResult
                            text: resultRow.expanded ? "\u25BC  " : "\u25B6  "
                            font.pixelSize: resultRow.expanded ? 10 : 16
                            color: "white"
                        }
                        Text {
                            objectName: "fileNameLabel"
                            visible: !resultRow.isResult
                            text: resultRow.fileName
                            textFormat: Text.PlainText
                            color: CustomColors.plainWhite
                        }
                        Text {
                            id: pageLabel
                            objectName: "pageLabel"
                            visible: resultRow.isResult
                            text: "Page " + (resultRow.pageNumber + 1) + ": "
                            color: CustomColors.plainWhite
                        }
                        Text {
                            id: leadingDots
                            objectName: "leadingDots"
                            // A cut text before the hit begins with its own ellipsis.
                            visible: resultRow.isResult && !contextBeforeLabel.cut
                            text: "..."
                            color: CustomColors.plainWhite
                        }
                        Text {
                            id: contextBeforeLabel
                            objectName: "contextBeforeLabel"

                            // A long text before the hit would push the hit out of the row: it
                            // gives way from its start, so the hit stays in sight.
                            readonly property real room: Math.max(0, (resultRow.treeView.width
                                - pageLabel.width - 2 * leadingDots.width
                                - searchStringLabel.width) / 2)
                            // Not `truncated`: Qt 6.4 leaves it set when the text of a reused
                            // row becomes empty.
                            readonly property bool cut: text.length > 0 && implicitWidth > room

                            visible: resultRow.isResult
                            width: Math.min(implicitWidth, room)
                            elide: Text.ElideLeft
                            // An elided text is narrower than its room: it keeps to the hit.
                            horizontalAlignment: Text.AlignRight
                            text: resultRow.flattened(resultRow.contextBefore)
                            textFormat: Text.PlainText
                            color: CustomColors.plainWhite
                        }
                        Text {
                            id: searchStringLabel
                            objectName: "searchStringLabel"
                            visible: resultRow.isResult
                            text: resultRow.searchString
                            textFormat: Text.PlainText
                            font.bold: true
                            color: CustomColors.plainWhite
                        }
                        Text {
                            objectName: "contextAfterLabel"
                            visible: resultRow.isResult
                            text: resultRow.flattened(resultRow.contextAfter)
                            textFormat: Text.PlainText
                            color: CustomColors.plainWhite
                        }
                        Text {
                            visible: resultRow.isResult
                            text: "..."
                            color: CustomColors.plainWhite
                        }
                    }

                    MouseArea {
                        objectName: "rowMouseArea"
                        anchors.fill: parent
                        cursorShape: Qt.PointingHandCursor

                        onClicked: {
                            console.log("clicked: model.row: " + resultRow.row
                                        + ", model.index: " + resultRow.index)
                            const row = resultRow.expandedRow()
                            if (Chat.SearchModel.itemIsTopLevel(row))
                                resultRow.treeView.toggleExpanded(resultRow.row)
                            else
                                Chat.SearchModel.itemClicked(row)
                        }
                        onDoubleClicked: {
                            console.log("double click")
                            resultRow.treeView.toggleExpanded(resultRow.row)
                        }
                    }
                }
            }
        }
    }
}
