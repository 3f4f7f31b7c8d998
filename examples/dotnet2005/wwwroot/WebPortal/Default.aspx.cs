namespace WebPortal
{
    public class DefaultPage : System.Web.UI.Page
    {
        protected void Page_Load(object sender, System.EventArgs e)
        {
            RUVivEvu.Layer layer = new RUVivEvu.Layer();
            layer.TextColor = 0;
        }
    }
}
