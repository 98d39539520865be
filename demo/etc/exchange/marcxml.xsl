<?xml version="1.0" encoding="UTF-8"?>
<!-- MARCXML (with or without the MARC 21 slim namespace) into the
     service's XML form: collection / document / leader, controlfield,
     datafield, subfield. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:marc="http://www.loc.gov/MARC21/slim" exclude-result-prefixes="marc">
  <xsl:output method="xml" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/">
    <collection>
      <xsl:apply-templates select="//*[local-name()='record']"/>
    </collection>
  </xsl:template>

  <xsl:template match="*[local-name()='record']">
    <document>
      <xsl:for-each select="*[local-name()='leader']">
        <leader><xsl:value-of select="."/></leader>
      </xsl:for-each>
      <xsl:for-each select="*[local-name()='controlfield']">
        <controlfield tag="{@tag}"><xsl:value-of select="."/></controlfield>
      </xsl:for-each>
      <xsl:for-each select="*[local-name()='datafield']">
        <datafield tag="{@tag}" ind1="{@ind1}" ind2="{@ind2}">
          <xsl:for-each select="*[local-name()='subfield']">
            <subfield code="{@code}"><xsl:value-of select="."/></subfield>
          </xsl:for-each>
        </datafield>
      </xsl:for-each>
    </document>
  </xsl:template>
</xsl:stylesheet>
