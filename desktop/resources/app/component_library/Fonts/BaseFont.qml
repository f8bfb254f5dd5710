import QtQuick

Item {
    property string fontName
    readonly property string basePath: "./TTF/" + fontName + "/" + fontName

    // Every file names "Poppins" as its family first, so that name alone picks whichever style
    // is nearest to normal weight. Each style but Bold also carries a family of its own
    // ("Poppins SemiBold", ...), which selects exactly that file; Bold is the family's own bold
    // face, which texts reach with font.bold.
    readonly property string bold: boldLoader.name
    readonly property string semiBold: styleFamily(semiBoldLoader, "SemiBold")
    readonly property string medium: styleFamily(mediumLoader, "Medium")
    readonly property string light: styleFamily(lightLoader, "Light")
    readonly property string extraLight: styleFamily(extraLightLoader, "ExtraLight")

    function styleFamily(loader, style) {
        return loader.status === FontLoader.Ready ? loader.name + " " + style : ""
    }

    FontLoader { id: boldLoader; source: basePath + "-Bold.ttf" }
    FontLoader { id: semiBoldLoader; source: basePath + "-SemiBold.ttf" }
    FontLoader { id: mediumLoader; source: basePath + "-Medium.ttf" }
    FontLoader { id: lightLoader; source: basePath + "-Light.ttf" }
    FontLoader { id: extraLightLoader; source: basePath + "-ExtraLight.ttf" }
}
